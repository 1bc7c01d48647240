#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest::sim {

// How a device's answer is laid out (see build_answer).
enum class answer_layout {
    device,     // what the devices send: PTR, SRV and A, all names compressed, 86 bytes
    full,       // what a general-purpose mDNS library sends: PTR, SRV, TXT, A and NSEC
    malformed,  // the device layout claiming a third additional record it does not carry
};

// Parses "device" or "full"; throws std::invalid_argument otherwise.
answer_layout parse_layout(const std::string& name);

// Whether the datagram is a query whose first question asks for the family's service
// (_quarn._tcp.local, any letter case) with type PTR or ANY. Any input is safe.
bool is_service_query(const std::uint8_t* data, std::size_t size);

// One device's answer. `address` is the IPv4 address in host byte order. The serial must be
// 1 to 58 characters, so the host label kest-SERIAL fits in 63.
std::vector<std::uint8_t> build_answer(answer_layout layout, std::string_view serial,
                                       std::uint16_t port, std::uint32_t address);

// Answers discovery queries for the announced devices: one UDP socket on port 5353 in the
// multicast group on every IPv4 interface (or the chosen ones), answers sent to the group
// out of the interface the query came in on. The main loop polls socket() and timer().
class tcp_responder {
public:
    struct settings {
        std::vector<in_addr> interfaces;  // addresses to join on; empty for all
        std::optional<in_addr> address;   // announced instead of the interface's
        answer_layout layout = answer_layout::device;
        std::chrono::milliseconds delay{0};
    };

    explicit tcp_responder(settings how);
    ~tcp_responder();
    tcp_responder(const tcp_responder&) = delete;
    tcp_responder& operator=(const tcp_responder&) = delete;

    // Devices are answered for in the order they were announced.
    void announce(const std::string& serial, std::uint16_t port);
    void set_answering(const std::string& serial, bool answering);
    void withdraw(const std::string& serial);

    int socket() const { return fd_; }
    int timer() const { return timer_fd_; }
    void receive();
    void on_timer();

private:
    struct joined {
        unsigned index;
        in_addr address;
    };
    struct device {
        std::string serial;
        std::uint16_t port;
        bool answering;
    };
    struct query {
        std::chrono::steady_clock::time_point due;
        unsigned interface;
        in_addr from;
    };

    void join(const std::vector<in_addr>& wanted);
    const joined* find_interface(unsigned index) const;
    void answer(unsigned interface_index, in_addr from);
    void arm_timer();

    settings settings_;
    int fd_ = -1;
    int timer_fd_ = -1;
    std::vector<joined> interfaces_;
    std::vector<device> devices_;
    std::deque<query> delayed_;
};

}  // namespace kest::sim
