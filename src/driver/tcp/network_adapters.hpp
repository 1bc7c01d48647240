#pragma once

#include <array>
#include <boost/asio/ip/address_v4.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestd::driver::tcp {

// What discovery needs to know of one network adapter.
struct network_adapter {
    std::string name;
    bool ethernet = false;  // wired-style Ethernet framing (ARPHRD_ETHER, MIB_IF_TYPE_ETHERNET)
    bool wireless = false;
    bool up = false;
    std::array<std::uint8_t, 6> hardware{};
    std::optional<boost::asio::ip::address_v4> ipv4;  // its first IPv4 address
};

// The system's adapters in the order it lists them; false when they cannot be read.
bool read_network_adapters(std::vector<network_adapter>& adapters);

}  // namespace kestd::driver::tcp
