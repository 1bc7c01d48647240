#include "tcp_responder.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace kest::sim {

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t mdns_port = 5353;
constexpr const char* mdns_group = "224.0.0.251";
constexpr std::string_view service_wire("\x06_quarn\x04_tcp\x05local\x00", 19);
constexpr std::size_t header_size = 12;
constexpr std::uint32_t ttl = 120;
constexpr std::uint16_t in_class = 1;
constexpr std::uint16_t in_class_flush = 0x8001;  // the owner's records replace cached ones
constexpr std::uint16_t type_a = 1, type_ptr = 12, type_txt = 16, type_srv = 33, type_nsec = 47,
                        type_any = 255;
constexpr std::size_t max_delayed = 64;  // queries waiting out --delay; more are dropped

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string text(in_addr address) {
    char buffer[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, buffer, sizeof buffer);
    return buffer;
}

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The name at `offset` as lower-case wire labels, following compression pointers, and the
// offset just past where it is written; nothing when it is garbled.
std::optional<std::pair<std::string, std::size_t>> read_name(const std::uint8_t* data,
                                                             std::size_t size, std::size_t offset) {
    std::string wire;
    std::optional<std::size_t> end;
    for (int jumps = 0;;) {
        if (offset >= size) return std::nullopt;
        const std::uint8_t length = data[offset];
        if ((length & 0xC0) == 0xC0) {
            if (offset + 1 >= size || ++jumps > 16) return std::nullopt;
            if (!end) end = offset + 2;
            offset = static_cast<std::size_t>((length & 0x3F) << 8 | data[offset + 1]);
            continue;
        }
        if (length & 0xC0) return std::nullopt;  // label types nobody uses
        wire.push_back(static_cast<char>(length));
        if (length == 0) return std::pair{wire, end.value_or(offset + 1)};
        if (offset + 1 + length > size || wire.size() + length > 255) return std::nullopt;
        for (std::size_t i = offset + 1; i <= offset + length; ++i) {
            const char c = static_cast<char>(data[i]);
            wire.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
        offset += 1 + length;
    }
}

// Appends DNS fields in network byte order.
class writer {
public:
    std::size_t size() const { return out_.size(); }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        u8(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v >> 16));
        u16(static_cast<std::uint16_t>(v));
    }
    void raw(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
    void label(std::string_view s) {
        u8(static_cast<std::uint8_t>(s.size()));
        raw(s);
    }
    void pointer(std::size_t offset) { u16(static_cast<std::uint16_t>(0xC000 | offset)); }
    // TYPE, CLASS, TTL and RDLENGTH after a record's name.
    void record(std::uint16_t type, std::uint16_t klass, std::uint16_t rdlength) {
        u16(type);
        u16(klass);
        u32(ttl);
        u16(rdlength);
    }
    bytes take() { return std::move(out_); }

private:
    bytes out_;
};

}  // namespace

answer_layout parse_layout(const std::string& name) {
    if (name == "device") return answer_layout::device;
    if (name == "full") return answer_layout::full;
    throw std::invalid_argument("unknown layout '" + name + "' (device, full)");
}

bool is_service_query(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) return false;
    const bool response = data[2] & 0x80;
    if (response || read16(data + 4) == 0) return false;
    const auto name = read_name(data, size, header_size);
    if (!name || name->first != service_wire || name->second + 4 > size) return false;
    const std::uint16_t type = read16(data + name->second);
    return type == type_ptr || type == type_any;
}

// Both layouts start alike: header, then at 12 the service name (its "local" label at 24),
// then the PTR record whose RDATA holds the instance name SERIAL + pointer at 41.
//
// device (86 bytes with a six-character serial), ARCOUNT 2 (3 when malformed):
//   50 SRV  C0 29 0021 8001 TTL 0008 | 0000 0000 PORT C0 29
//   70 A    C0 29 0001 8001 TTL 0004 | ADDRESS
// full (160 bytes with a six-character serial), ARCOUNT 4; the host is kest-SERIAL.local:
//   50 SRV  C0 29 0021 8001 TTL 0014 | 0000 0000 PORT 0B "kest-SERIAL" C0 18
//   82 TXT  C0 29 0010 8001 TTL 0001 | 00
//   95 A    0B "kest-SERIAL" 05 "local" 00 0001 8001 TTL 0004 | ADDRESS
//  128 NSEC 0B "kest-SERIAL" C0 18 002F 8001 TTL 0008 | C0 5F 00 04 40 00 00 00
// Every TTL is 120 s; the NSEC says the host has an A record and nothing else.
std::vector<std::uint8_t> build_answer(answer_layout layout, std::string_view serial,
                                       std::uint16_t port, std::uint32_t address) {
    writer w;
    w.u16(0);       // ID
    w.u16(0x8400);  // a response, authoritative
    w.u16(0);       // no question, one answer, no authority
    w.u16(1);
    w.u16(0);
    w.u16(layout == answer_layout::full ? 4 : layout == answer_layout::malformed ? 3 : 2);
    const std::size_t service = w.size();
    const std::size_t local = service + 1 + 6 + 1 + 4;
    w.raw(service_wire);
    w.record(type_ptr, in_class, static_cast<std::uint16_t>(1 + serial.size() + 2));
    const std::size_t instance = w.size();
    w.label(serial);
    w.pointer(service);

    const std::string host = "kest-" + std::string(serial);
    w.pointer(instance);  // the SRV record's name in both layouts
    if (layout != answer_layout::full) {
        w.record(type_srv, in_class_flush, 8);
        w.u32(0);  // priority and weight
        w.u16(port);
        w.pointer(instance);
        w.pointer(instance);
        w.record(type_a, in_class_flush, 4);
        w.u32(address);
        return w.take();
    }
    w.record(type_srv, in_class_flush, static_cast<std::uint16_t>(4 + 2 + 1 + host.size() + 2));
    w.u32(0);
    w.u16(port);
    w.label(host);
    w.pointer(local);
    w.pointer(instance);
    w.record(type_txt, in_class_flush, 1);
    w.u8(0);  // an empty TXT: one string of length zero
    const std::size_t host_name = w.size();
    w.label(host);
    w.label("local");
    w.u8(0);
    w.record(type_a, in_class_flush, 4);
    w.u32(address);
    w.label(host);
    w.pointer(local);
    w.record(type_nsec, in_class_flush, 2 + 6);
    w.pointer(host_name);
    for (std::uint8_t b : {0x00, 0x04, 0x40, 0x00, 0x00, 0x00}) w.u8(b);  // window 0: A only
    return w.take();
}

tcp_responder::tcp_responder(settings how) : settings_(std::move(how)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail("socket");
    timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    try {
        if (timer_fd_ < 0) fail("timerfd");
        // Another responder on this host may hold the port too; both see every datagram.
        const int on = 1, off = 0, ttl_max = 255;
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(mdns_port);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            fail("bind to port 5353");
        }
        // Only the groups joined here, not every socket's on the host, are to be heard.
        if (::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
            ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
            ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl_max, sizeof ttl_max) != 0 ||
            ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) != 0) {
            fail("socket options");
        }
        join(settings_.interfaces);
    } catch (...) {
        ::close(fd_);
        if (timer_fd_ >= 0) ::close(timer_fd_);
        throw;
    }
}

tcp_responder::~tcp_responder() {
    ::close(fd_);
    ::close(timer_fd_);
}

void tcp_responder::join(const std::vector<in_addr>& wanted) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) fail("getifaddrs");
    std::vector<std::pair<in_addr, std::string>> found;  // address, interface name
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        found.emplace_back(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr,
                           a->ifa_name);
    }
    ::freeifaddrs(list);
    const auto same = [](in_addr a, in_addr b) { return a.s_addr == b.s_addr; };
    for (const in_addr w : wanted) {
        if (std::none_of(found.begin(), found.end(), [&](auto& f) { return same(f.first, w); }))
            throw std::runtime_error("no interface has the address " + text(w));
    }
    ip_mreq request{};
    ::inet_pton(AF_INET, mdns_group, &request.imr_multiaddr);
    for (const auto& [address, name] : found) {
        if (!wanted.empty() &&
            std::none_of(wanted.begin(), wanted.end(), [&](in_addr w) { return same(w, address); }))
            continue;
        // An alias label (eth0:1) names its interface before the colon.
        const unsigned index = ::if_nametoindex(name.substr(0, name.find(':')).c_str());
        request.imr_interface = address;
        if (index == 0 ||
            (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0 &&
             errno != EADDRINUSE)) {
            std::cerr << "kest-sim: cannot join " << mdns_group << " on " << text(address) << " ("
                      << name << "): " << std::strerror(errno) << "\n";
            continue;
        }
        if (!find_interface(index)) interfaces_.push_back({index, address});
    }
    if (interfaces_.empty()) throw std::runtime_error("joined the group on no interface");
}

const tcp_responder::joined* tcp_responder::find_interface(unsigned index) const {
    for (const auto& j : interfaces_) {
        if (j.index == index) return &j;
    }
    return nullptr;
}

void tcp_responder::announce(const std::string& serial, std::uint16_t port) {
    devices_.push_back({serial, port, true});
}

void tcp_responder::set_answering(const std::string& serial, bool answering) {
    for (auto& d : devices_) {
        if (d.serial == serial) d.answering = answering;
    }
}

void tcp_responder::withdraw(const std::string& serial) {
    std::erase_if(devices_, [&](const device& d) { return d.serial == serial; });
}

void tcp_responder::receive() {
    // A bounded batch, so a flood of datagrams cannot starve the rest of the loop.
    for (int i = 0; i < 64; ++i) {
        std::uint8_t data[9000];
        sockaddr_in from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &message, 0);
        if (n < 0) return;
        unsigned index = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                index = static_cast<unsigned>(info.ipi_ifindex);
            }
        }
        // A unicast datagram may come in on an interface that was not chosen.
        if (!find_interface(index) || !is_service_query(data, static_cast<std::size_t>(n)))
            continue;
        if (settings_.delay.count() == 0) {
            answer(index, from.sin_addr);
        } else if (delayed_.size() < max_delayed) {
            delayed_.push_back(
                {std::chrono::steady_clock::now() + settings_.delay, index, from.sin_addr});
            if (delayed_.size() == 1) arm_timer();
        }
    }
}

void tcp_responder::on_timer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] auto ignored = ::read(timer_fd_, &expirations, sizeof expirations);
    const auto now = std::chrono::steady_clock::now();
    while (!delayed_.empty() && delayed_.front().due <= now) {
        answer(delayed_.front().interface, delayed_.front().from);
        delayed_.pop_front();
    }
    if (!delayed_.empty()) arm_timer();
}

void tcp_responder::arm_timer() {
    using namespace std::chrono;
    const auto wait = std::max<nanoseconds>(delayed_.front().due - steady_clock::now(), 1ns);
    itimerspec due_at{};
    due_at.it_value.tv_sec = static_cast<time_t>(duration_cast<seconds>(wait).count());
    due_at.it_value.tv_nsec = static_cast<long>((wait % 1s).count());
    ::timerfd_settime(timer_fd_, 0, &due_at, nullptr);
}

void tcp_responder::answer(unsigned interface_index, in_addr from) {
    const joined* arrival = find_interface(interface_index);
    if (!arrival) return;
    // The interface's address as the source too: left open, loopback would send from 0.0.0.0.
    ip_mreqn out{};
    out.imr_ifindex = static_cast<int>(interface_index);
    out.imr_address = arrival->address;
    ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(mdns_port);
    ::inet_pton(AF_INET, mdns_group, &group.sin_addr);
    const in_addr announced = settings_.address.value_or(arrival->address);
    bool answered = false;
    for (const auto& d : devices_) {
        if (!d.answering) continue;
        const bytes datagram =
            build_answer(settings_.layout, d.serial, d.port, ntohl(announced.s_addr));
        if (::sendto(fd_, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&group), sizeof group) < 0) {
            std::cerr << "kest-sim: cannot answer on " << text(arrival->address) << ": "
                      << std::strerror(errno) << "\n";
            return;
        }
        answered = true;
    }
    if (answered) {
        std::cerr << "kest-sim: answered query from " << text(from) << " on "
                  << text(arrival->address) << "\n";
    }
}

}  // namespace kest::sim
