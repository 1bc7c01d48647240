#pragma once

#include <atomic>
#include <chrono>
#include <vector>
#include <cstdint>
#include <string>
#include <thread>

namespace kest::sim {

// What a simulated device does with its side of the line.
enum class behaviour {
    echo,    // sends back every byte it receives
    stream,  // sends the endless sequence b[p] = p % 251, ignoring what it receives
    silent,  // takes what it receives and sends nothing
};

// Parses "echo", "stream" or "silent"; throws std::invalid_argument otherwise.
behaviour parse_behaviour(const std::string& name);

// Plays one device on the device side of its line (a pty master or any stream descriptor)
// on a thread of its own, until destroyed. Waits quietly while no program has the port open.
class device_player {
public:
    // `rate` in bytes per second paces the stream; 0 means as fast as the line takes it.
    device_player(int fd, behaviour what, double rate = 0);
    ~device_player();
    device_player(const device_player&) = delete;
    device_player& operator=(const device_player&) = delete;

    std::uint64_t bytes_sent() const { return sent_.load(); }
    std::uint64_t bytes_received() const { return received_.load(); }

private:
    void run();
    bool wait(short events, short& revents);
    void idle();
    void echo_some();
    void stream_some();
    void drain();

    int fd_;
    behaviour what_;
    double rate_;
    int stop_fd_ = -1;
    std::vector<char> buffer_;
    std::chrono::steady_clock::time_point paced_until_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> received_{0};
    std::thread thread_;
};

}  // namespace kest::sim
