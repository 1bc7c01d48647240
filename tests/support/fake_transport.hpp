#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "finder/transport_set.hpp"

namespace kestd::test {

// A transport whose devices are socket pairs: the driver gets one end, the test holds the
// other and plays the device on it. Find and open run on the session's thread; the test
// steers them through the atomics.
class fake_transport {
public:
    explicit fake_transport(std::string serial) : serial_(std::move(serial)) {}
    ~fake_transport();

    // The transports to hand to a landing or device: this one as the serial-port slot.
    transport_set transports();

    std::atomic<bool> present{true};
    std::atomic<bool> fail_open{false};
    std::atomic<int> finds{0};
    std::atomic<int> opens{0};
    // The driver end's send buffer (SO_SNDBUF), when set: a small one makes writes partial.
    std::atomic<int> send_buffer{0};

    // Opens wait (on the session's thread, as a slow transport's would) until released.
    void hold_opens();
    void release_opens();

    // The device side of the next open, as a blocking socket descriptor (-1 on timeout). The
    // caller owns it.
    int take_device_end(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    friend class fake_weak_driver;
    int open_pair();  // returns the driver's end
    void wait_while_held();

    std::string serial_;
    std::mutex mutex_;
    std::condition_variable opened_;
    std::condition_variable released_;
    std::deque<int> device_ends_;
    bool held_ = false;
};

}  // namespace kestd::test
