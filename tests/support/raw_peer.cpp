#include "support/raw_peer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kestd::test {

namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error("raw peer: " + what + ": " + std::strerror(errno));
}

}  // namespace

raw_peer::raw_peer(const std::string& netns, const std::string& interface) {
    // A socket belongs to the network it was made in, whichever thread uses it later; only
    // a thread of its own enters the other network.
    std::string error;
    std::thread maker([&] {
        const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
            error = "enter " + netns + ": " + std::strerror(errno);
            if (ns >= 0) ::close(ns);
            return;
        }
        ::close(ns);
        fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0xCAB1));
        if (fd_ < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return;
        }
        // Room for a megabyte of frames arriving at the link's speed while the test reads.
        const int room = 16 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(0xCAB1);
        address.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
        ifreq request{};
        std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
        if (address.sll_ifindex == 0 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::ioctl(fd_, SIOCGIFHWADDR, &request) != 0) {
            error = "bind " + interface + ": " + std::strerror(errno);
            return;
        }
        std::memcpy(mac_.data(), request.ifr_hwaddr.sa_data, mac_.size());
    });
    maker.join();
    if (!error.empty()) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("raw peer: " + error);
    }
}

raw_peer::~raw_peer() { ::close(fd_); }

void raw_peer::send(const std::vector<std::uint8_t>& frame) {
    if (::send(fd_, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size())) {
        throw failure("send");
    }
}

std::optional<std::vector<std::uint8_t>> raw_peer::receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd wanted{fd_, POLLIN, 0};
        if (::poll(&wanted, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
        std::vector<std::uint8_t> frame(65536);
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(fd_, frame.data(), frame.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        if (n < 0) throw failure("receive");
        // What this end sent itself comes back to its own socket; only the far end counts.
        if (from.sll_pkttype == PACKET_OUTGOING) continue;
        frame.resize(static_cast<std::size_t>(n));
        return frame;
    }
}

}  // namespace kestd::test
