#include "device_player.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kest::sim {

namespace {
constexpr std::size_t chunk = 65536;
constexpr int idle_ms = 10;  // how often a device without a reader looks again
}  // namespace

behaviour parse_behaviour(const std::string& name) {
    if (name == "echo") return behaviour::echo;
    if (name == "stream") return behaviour::stream;
    if (name == "silent") return behaviour::silent;
    throw std::invalid_argument("unknown device behaviour '" + name + "' (echo, stream, silent)");
}

device_player::device_player(int fd, behaviour what, double rate)
    : fd_(fd),
      what_(what),
      rate_(rate),
      stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      buffer_(chunk) {
    if (stop_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

device_player::~device_player() {
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(stop_fd_, &one, sizeof one);
    thread_.join();
    ::close(stop_fd_);
}

// Waits for `events` on the line or for the stop signal; false when stopping.
bool device_player::wait(short events, short& revents) {
    pollfd fds[2] = {{fd_, events, 0}, {stop_fd_, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR) return false;
    }
    revents = fds[0].revents;
    return !stopping_ && fds[1].revents == 0;
}

// Nobody has the port open (the pty reports a hang-up): look again a little later.
void device_player::idle() {
    pollfd stop{stop_fd_, POLLIN, 0};
    ::poll(&stop, 1, idle_ms);
}

void device_player::run() {
    while (!stopping_) {
        switch (what_) {
            case behaviour::echo: echo_some(); break;
            case behaviour::stream: stream_some(); break;
            case behaviour::silent: drain(); break;
        }
    }
}

void device_player::drain() {
    short revents = 0;
    if (!wait(POLLIN, revents)) return;
    if (revents & (POLLHUP | POLLERR)) return idle();
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n > 0) received_ += static_cast<std::uint64_t>(n);
    if (n < 0 && errno != EAGAIN) idle();
}

void device_player::echo_some() {
    short revents = 0;
    if (!wait(POLLIN, revents)) return;
    if (revents & (POLLHUP | POLLERR)) return idle();
    std::vector<char>& buffer = buffer_;
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n <= 0) {
        if (n < 0 && errno != EAGAIN) idle();
        return;
    }
    received_ += static_cast<std::uint64_t>(n);
    for (ssize_t done = 0; done < n && !stopping_;) {
        const ssize_t w = ::write(fd_, buffer.data() + done, static_cast<std::size_t>(n - done));
        if (w > 0) {
            done += w;
            sent_ += static_cast<std::uint64_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            if (!wait(POLLOUT, revents) || (revents & (POLLHUP | POLLERR))) return;
        } else {
            return;  // the port was closed; what is left is lost with it
        }
    }
}

void device_player::stream_some() {
    using clock = std::chrono::steady_clock;
    std::vector<char>& buffer = buffer_;
    short revents = 0;
    if (!wait(POLLOUT | POLLIN, revents)) return;
    if (revents & (POLLHUP | POLLERR)) return idle();
    if (revents & POLLIN) {
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n > 0) received_ += static_cast<std::uint64_t>(n);
    }
    if (!(revents & POLLOUT)) return;
    const std::uint64_t position = sent_.load();
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<char>((position + i) % 251);
    }
    const ssize_t n = ::write(fd_, buffer.data(), buffer.size());
    if (n <= 0) return;
    sent_ += static_cast<std::uint64_t>(n);
    if (rate_ > 0) {
        // Pace without catching up in bursts after a stall.
        const auto now = clock::now();
        if (paced_until_ < now) paced_until_ = now;
        paced_until_ += std::chrono::duration_cast<clock::duration>(
            std::chrono::duration<double>(static_cast<double>(n) / rate_));
        pollfd stop{stop_fd_, POLLIN, 0};
        const auto wait_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(paced_until_ - now).count();
        if (wait_ms > 0) ::poll(&stop, 1, static_cast<int>(wait_ms));
    }
}

}  // namespace kest::sim
