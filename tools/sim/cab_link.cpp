#include "cab_link.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace kest::sim::cab {

namespace {

using steady = std::chrono::steady_clock;

constexpr std::size_t receive_batch = 64;      // frames read before the devices get to send
constexpr std::size_t frames_per_round = 512;  // frames sent before input is looked at again
constexpr int frames_per_turn = 16;            // one device's share of a round
constexpr int socket_buffer = 4 << 20;
// A full transmit queue gives no POLLOUT to wait for, so the send is tried again after this.
constexpr auto queue_full_wait = std::chrono::microseconds(200);
constexpr auto down_wait = std::chrono::milliseconds(100);

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void set_buffer(int fd, int forced, int plain) {
    if (::setsockopt(fd, SOL_SOCKET, forced, &socket_buffer, sizeof socket_buffer) != 0)
        ::setsockopt(fd, SOL_SOCKET, plain, &socket_buffer, sizeof socket_buffer);
}

}  // namespace

link::link(const std::string& interface, bool log_frames)
    : interface_(interface), log_frames_(log_frames) {
    const unsigned index = ::if_nametoindex(interface.c_str());
    if (index == 0) throw std::runtime_error("no interface " + interface);
    // Bound to nothing yet, the socket hears nothing until it is bound to the interface.
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail("packet socket");
    try {
        ifreq request{};
        std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
        if (::ioctl(fd_, SIOCGIFMTU, &request) != 0) fail("MTU of " + interface);
        max_frame_ = static_cast<std::size_t>(request.ifr_mtu) + ETH_HLEN;

        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(host_ethertype);
        address.sll_ifindex = static_cast<int>(index);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("bind to " + interface);
        // The devices' addresses are not the adapter's own.
        packet_mreq promiscuous{};
        promiscuous.mr_ifindex = static_cast<int>(index);
        promiscuous.mr_type = PACKET_MR_PROMISC;
        if (::setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous,
                         sizeof promiscuous) != 0)
            fail("promiscuous mode on " + interface);
        const int on = 1;
        ::setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
        set_buffer(fd_, SO_SNDBUFFORCE, SO_SNDBUF);
        set_buffer(fd_, SO_RCVBUFFORCE, SO_RCVBUF);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    in_.resize(65536);
    out_.resize(std::max(max_frame_, reply_a_size));
}

link::~link() { ::close(fd_); }

void link::add(device_settings settings) {
    devices_.push_back(std::make_unique<device>(std::move(settings), max_frame_));
}

device* link::find(const std::string& name) {
    for (auto& d : devices_) {
        if (d->settings().name == name) return d.get();
    }
    return nullptr;
}

short link::events() const { return POLLIN | (waiting_for_room_ ? POLLOUT : 0); }

std::optional<std::chrono::nanoseconds> link::timeout() const {
    if (waiting_for_room_) return std::nullopt;
    std::optional<steady::time_point> soonest = backoff_until_;
    if (!soonest) {
        for (const auto& d : devices_) {
            const auto due = d->due();
            if (due && (!soonest || *due < *soonest)) soonest = due;
        }
    }
    if (!soonest) return std::nullopt;
    const auto now = steady::now();
    if (*soonest <= now) return std::chrono::nanoseconds(0);
    return *soonest - now;
}

void link::on_ready(short revents) {
    if (revents & POLLOUT) waiting_for_room_ = false;
    if (revents & (POLLIN | POLLERR)) receive();
    send();
}

void link::receive() {
    for (std::size_t i = 0; i < receive_batch; ++i) {
        sockaddr_ll from{};
        socklen_t from_size = sizeof from;
        const ssize_t n = ::recvfrom(fd_, in_.data(), in_.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &from_size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                std::cerr << "kest-sim: receiving on " << interface_ << ": " << std::strerror(errno)
                          << "\n";
            return;
        }
        if (from.sll_pkttype == PACKET_OUTGOING) continue;
        const std::size_t size = std::min(static_cast<std::size_t>(n), in_.size());
        const auto h = read_header(in_.data(), size);
        if (!h || h->ethertype != host_ethertype || !h->marked) continue;
        const auto now = steady::now();
        for (auto& d : devices_) {
            if (d->accepts(h->destination)) d->receive(*h, in_.data(), size, now, log_frames_);
        }
    }
}

// The devices send in turns, each a few frames, until none has more or the round is over.
void link::send() {
    if (waiting_for_room_ || devices_.empty()) return;
    auto now = steady::now();
    if (backoff_until_) {
        if (now < *backoff_until_) return;
        backoff_until_.reset();
    }
    std::size_t budget = frames_per_round;
    for (bool progress = true; progress && budget > 0; now = steady::now()) {
        progress = false;
        for (std::size_t k = 0; k < devices_.size(); ++k) {
            device& d = *devices_[(first_ + k) % devices_.size()];
            for (int i = 0; i < frames_per_turn && budget > 0; ++i) {
                const std::size_t size = d.next_frame(out_.data(), now);
                if (size == 0) break;
                ssize_t n;
                do {
                    n = ::send(fd_, out_.data(), size, MSG_DONTWAIT);
                } while (n < 0 && errno == EINTR);
                if (n < 0) {
                    const int error = errno;
                    if (error == EAGAIN || error == EWOULDBLOCK) {
                        waiting_for_room_ = true;
                        return;
                    }
                    if (error == ENOBUFS) {
                        backoff_until_ = now + queue_full_wait;
                        return;
                    }
                    if (error == ENETDOWN || error == ENXIO || error == ENODEV) {
                        if (!down_reported_)
                            std::cerr << "kest-sim: " << interface_ << " is down, waiting\n";
                        down_reported_ = true;
                        backoff_until_ = now + down_wait;
                        return;
                    }
                    // Nothing will make this frame go: it is lost.
                    std::cerr << "kest-sim: cannot send " << size << " bytes on " << interface_
                              << ": " << std::strerror(error) << "\n";
                } else {
                    down_reported_ = false;
                }
                d.sent();
                --budget;
                progress = true;
            }
        }
        first_ = (first_ + 1) % devices_.size();
    }
}

}  // namespace kest::sim::cab
