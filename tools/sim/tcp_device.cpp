#include "tcp_device.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>

namespace kest::sim {

namespace {

// Beyond this many open connections, new ones wait in the listen queue.
constexpr std::size_t max_connections = 256;
constexpr int accepts_per_round = 16;

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A TCP socket bound to 0.0.0.0 on an ephemeral port; returns it and the port.
int bound_socket(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        fail("bind");
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

tcp_device::tcp_device(std::string serial, tcp_connection::plan how)
    : serial_(std::move(serial)), plan_(how) {
    listener_ = bound_socket(port_);
    if (::listen(listener_, SOMAXCONN) != 0) {
        ::close(listener_);
        fail("listen");
    }
    ended_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ended_fd_ < 0) {
        ::close(listener_);
        fail("eventfd");
    }
}

tcp_device::~tcp_device() {
    connections_.clear();
    stop_listening();
    ::close(ended_fd_);
}

std::uint16_t tcp_device::unused_port() {
    std::uint16_t port = 0;
    ::close(bound_socket(port));
    return port;
}

int tcp_device::listener() const {
    return paused_ || connections_.size() >= max_connections ? -1 : listener_;
}

void tcp_device::accept_connections() {
    for (int i = 0; i < accepts_per_round && listener() >= 0; ++i) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::cerr << "kest-sim: " << serial_ << ": cannot accept (" << std::strerror(errno)
                          << "); waiting for a connection to end\n";
                paused_ = true;
            }
            return;  // nothing pending, or the peer gave up already
        }
        // Small echoes go back at once instead of waiting for more to send.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections_.push_back(std::make_unique<tcp_connection>(fd, plan_, ended_fd_));
    }
}

void tcp_device::reap() {
    std::uint64_t count = 0;
    [[maybe_unused]] auto ignored = ::read(ended_fd_, &count, sizeof count);
    connections_.remove_if([](const auto& c) { return c->finished(); });
    paused_ = false;
}

void tcp_device::close_connections() {
    connections_.clear();
    paused_ = false;
}

void tcp_device::stop_listening() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

}  // namespace kest::sim
