#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "device/device.hpp"

namespace kestd {

// Destroys device sessions on a thread of its own. Ending a session joins its thread, which
// may be inside a blocking open (a network connect waits up to seconds); the landing's loop
// must go on answering meanwhile.
class session_reaper {
public:
    session_reaper() = default;
    // Ends every session handed over, then the thread.
    ~session_reaper();
    session_reaper(const session_reaper&) = delete;
    session_reaper& operator=(const session_reaper&) = delete;

    void retire(std::unique_ptr<device> session);

private:
    void run();

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::unique_ptr<device>> sessions;
    bool stopping = false;
    std::thread worker;
};

}  // namespace kestd
