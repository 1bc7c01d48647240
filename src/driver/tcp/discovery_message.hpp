#pragma once

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestd::driver::tcp {

// The devices' service name as DNS labels: "_quarn" "_tcp" "local".
inline constexpr std::array<std::uint8_t, 19> service_name = {
    6, '_', 'q', 'u', 'a', 'r', 'n', 4, '_', 't', 'c', 'p', 5, 'l', 'o', 'c', 'a', 'l', 0};

// The one question every discovery run asks: PTR records of the service, class IN, answered
// by multicast (the unicast-response bit is clear).
inline constexpr std::array<std::uint8_t, 35> discovery_query = {
    0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,  // ID, flags, QDCOUNT 1, no other records
    6, '_', 'q', 'u', 'a', 'r', 'n', 4, '_', 't', 'c', 'p', 5, 'l', 'o', 'c', 'a', 'l', 0,
    0, 12, 0, 1};  // QTYPE PTR, QCLASS IN

inline constexpr std::size_t min_response_size = 86;
inline constexpr std::size_t serial_label_size = 6;

// The multicast DNS group and port.
const boost::asio::ip::udp::endpoint& mdns_endpoint();

// Reads a device's answer: its serial from the PTR answer's instance label, the port from
// an SRV record and the address from an A record (either may be missing and stay as preset).
// Rejects, with the log lines of the "tcp" channel, anything else.
bool parse_discovery_response(const std::uint8_t* data, std::size_t count, std::string& serial,
                              boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace kestd::driver::tcp
