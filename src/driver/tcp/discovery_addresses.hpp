#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/maker_oui.hpp"
#include "driver/tcp/network_adapters.hpp"

namespace kestd::driver::tcp {

// The interface addresses to query: up Ethernet adapters (not wireless, not the maker's) with
// an IPv4 address, in order, then "127.0.0.1".
std::vector<std::string> select_discovery_addresses(const std::vector<network_adapter>& adapters,
                                                    const std::array<std::uint8_t, 3>& oui);

// The same for this machine's adapters; false, with `addresses` untouched, when they cannot
// be read.
bool list_discovery_addresses(std::vector<std::string>& addresses);

}  // namespace kestd::driver::tcp
