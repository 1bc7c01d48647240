#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cab_device.hpp"

namespace kest::sim::cab {

// The Ethernet interface the devices share: one raw socket for the host's 0xCAB1 frames, and
// the devices' frames sent through it in turns. The main loop polls fd() for events() with
// timeout() and calls on_ready().
class link {
public:
    // Opens the socket on `interface`, in the calling thread's network namespace.
    link(const std::string& interface, bool log_frames);
    ~link();
    link(const link&) = delete;
    link& operator=(const link&) = delete;

    const std::string& interface() const { return interface_; }
    // The longest frame the interface carries: its MTU and the Ethernet header.
    std::size_t max_frame() const { return max_frame_; }

    void add(device_settings settings);
    // The device of that name, or nullptr.
    device* find(const std::string& name);

    int fd() const { return fd_; }
    short events() const;
    // How long the loop may sleep; nothing for as long as it likes.
    std::optional<std::chrono::nanoseconds> timeout() const;
    void on_ready(short revents);

private:
    void receive();
    void send();

    std::string interface_;
    bool log_frames_;
    int fd_ = -1;
    std::size_t max_frame_ = 0;
    std::vector<std::uint8_t> in_, out_;
    std::vector<std::unique_ptr<device>> devices_;
    std::size_t first_ = 0;          // the device that sends first in the next round
    bool waiting_for_room_ = false;  // the socket's buffer is full: wait for POLLOUT
    std::optional<std::chrono::steady_clock::time_point> backoff_until_;  // the queue is full
    bool down_reported_ = false;
};

}  // namespace kest::sim::cab
