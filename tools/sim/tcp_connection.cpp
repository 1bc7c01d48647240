#include "tcp_connection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <system_error>

namespace kest::sim {

namespace {

constexpr std::size_t chunk = 65536;
constexpr std::size_t period = 251;
constexpr double paced_write_seconds = 0.01;  // a paced stream writes every 10 ms or so

// b[p] = p % 251 with a period's slack, so any position's next chunk is one slice of it.
const std::vector<char>& stream_pattern() {
    static const std::vector<char> pattern = [] {
        std::vector<char> p(chunk + period);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(i % period);
        return p;
    }();
    return pattern;
}

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

tcp_connection::tcp_connection(int fd, plan how, int ended_fd)
    : fd_(fd),
      plan_(how),
      ended_fd_(ended_fd),
      stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      buffer_(chunk) {
    if (stop_fd_ < 0) {
        ::close(fd_);
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    stream_pattern();  // built before any thread can race for it
    thread_ = std::thread([this] { run(); });
}

tcp_connection::~tcp_connection() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(stop_fd_, &one, sizeof one);
    thread_.join();
    ::close(stop_fd_);
}

void tcp_connection::run() {
    switch (plan_.what) {
        case behaviour::echo:
            echo();
            break;
        case behaviour::stream:
            stream();
            break;
        case behaviour::silent:
            drain();
            break;
    }
    ::close(fd_);
    finished_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(ended_fd_, &one, sizeof one);
}

// Waits for `events` or the stop signal; false when stopping. A hang-up or error on the
// connection is left in `revents` for the caller.
bool tcp_connection::wait(short events, int timeout_ms, short& revents) {
    pollfd fds[2] = {{fd_, events, 0}, {stop_fd_, POLLIN, 0}};
    while (::poll(fds, 2, timeout_ms) < 0) {
        if (errno != EINTR) return false;
    }
    revents = fds[0].revents;
    return fds[1].revents == 0;
}

// How much of `size` may still go before the byte limit.
std::size_t tcp_connection::allowance(std::uint64_t done, std::size_t size) const {
    if (plan_.close_after == 0) return size;
    return static_cast<std::size_t>(std::min<std::uint64_t>(size, plan_.close_after - done));
}

bool tcp_connection::send_all(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && !transient(errno)) return false;
        short revents = 0;
        if (!wait(POLLOUT, -1, revents) || (revents & (POLLERR | POLLHUP))) return false;
    }
    return true;
}

void tcp_connection::echo() {
    for (std::uint64_t sent = 0; plan_.close_after == 0 || sent < plan_.close_after;) {
        short revents = 0;
        if (!wait(POLLIN, -1, revents)) return;
        const ssize_t n = ::read(fd_, buffer_.data(), allowance(sent, buffer_.size()));
        if (n == 0 || (n < 0 && !transient(errno))) return;
        if (n < 0) continue;
        if (!send_all(buffer_.data(), static_cast<std::size_t>(n))) return;
        sent += static_cast<std::uint64_t>(n);
    }
}

void tcp_connection::drain() {
    for (std::uint64_t received = 0; plan_.close_after == 0 || received < plan_.close_after;) {
        short revents = 0;
        if (!wait(POLLIN, -1, revents)) return;
        const ssize_t n = ::read(fd_, buffer_.data(), allowance(received, buffer_.size()));
        if (n == 0 || (n < 0 && !transient(errno))) return;
        if (n > 0) received += static_cast<std::uint64_t>(n);
    }
}

void tcp_connection::stream() {
    using clock = std::chrono::steady_clock;
    const auto& pattern = stream_pattern();
    std::size_t write_size = chunk;
    if (plan_.rate > 0) {
        write_size = std::clamp<std::size_t>(
            static_cast<std::size_t>(plan_.rate * paced_write_seconds), 1, chunk);
    }
    auto paced_until = clock::now();
    for (std::uint64_t sent = 0; plan_.close_after == 0 || sent < plan_.close_after;) {
        short events = POLLIN;
        int timeout_ms = -1;
        const auto now = clock::now();
        // Poll waits whole milliseconds: at fast rates several writes share one, so the
        // stream runs at most a millisecond ahead of its pace.
        if (plan_.rate > 0 && paced_until - now >= std::chrono::milliseconds(1)) {
            timeout_ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(paced_until - now).count());
        } else {
            events |= POLLOUT;
        }
        short revents = 0;
        if (!wait(events, timeout_ms, revents)) return;
        if (revents & (POLLERR | POLLHUP)) return;
        if (revents & POLLIN) {
            // What the peer sends is read and dropped; its end of input ends the connection.
            const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
            if (n == 0 || (n < 0 && !transient(errno))) return;
        }
        if (!(revents & POLLOUT)) continue;
        const ssize_t n =
            ::send(fd_, pattern.data() + sent % period, allowance(sent, write_size), MSG_NOSIGNAL);
        if (n < 0 && !transient(errno)) return;
        if (n <= 0) continue;
        sent += static_cast<std::uint64_t>(n);
        if (plan_.rate > 0) {
            // Pace without catching up in bursts after a stall: at most a few milliseconds
            // of lateness (a poll waking late) are made up.
            const auto after = clock::now();
            const auto slack = std::chrono::milliseconds(3);
            if (paced_until < after - slack) paced_until = after - slack;
            paced_until += std::chrono::duration_cast<clock::duration>(
                std::chrono::duration<double>(static_cast<double>(n) / plan_.rate));
        }
    }
}

}  // namespace kest::sim
