#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "device_player.hpp"

namespace kest::sim {

// Plays one device behaviour on one accepted TCP connection, on a thread of its own, until
// the peer closes, the byte limit is reached or the object is destroyed. The connection's
// socket is closed as soon as the play ends, so the peer sees it at once.
class tcp_connection {
public:
    struct plan {
        behaviour what = behaviour::echo;
        double rate = 0;                // stream pace in bytes per second; 0 is flat out
        std::uint64_t close_after = 0;  // bytes sent (echo, stream) or received (silent); 0 never
    };

    // Takes ownership of `fd`; writes to the eventfd `ended_fd` when the play ends.
    tcp_connection(int fd, plan how, int ended_fd);
    ~tcp_connection();
    tcp_connection(const tcp_connection&) = delete;
    tcp_connection& operator=(const tcp_connection&) = delete;

    bool finished() const { return finished_.load(); }

private:
    void run();
    bool wait(short events, int timeout_ms, short& revents);
    bool send_all(const char* data, std::size_t size);
    void echo();
    void stream();
    void drain();
    std::size_t allowance(std::uint64_t done, std::size_t size) const;

    int fd_;
    plan plan_;
    int ended_fd_;
    int stop_fd_ = -1;
    std::vector<char> buffer_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace kest::sim
