#include "driver/tcp/discovery_addresses.hpp"

#include <algorithm>
#include <string_view>

namespace kestd::driver::tcp {

std::vector<std::string> select_discovery_addresses(const std::vector<network_adapter>& adapters,
                                                    const std::array<std::uint8_t, 3>& oui) {
    std::vector<std::string> addresses;
    for (const auto& adapter : adapters) {
        if (!adapter.ethernet || adapter.wireless || !adapter.up || !adapter.ipv4) continue;
        if (std::equal(oui.begin(), oui.end(), adapter.hardware.begin())) continue;
        addresses.push_back(adapter.ipv4->to_string());
    }
    addresses.emplace_back("127.0.0.1");
    return addresses;
}

bool list_discovery_addresses(std::vector<std::string>& addresses) {
    std::vector<network_adapter> adapters;
    if (!read_network_adapters(adapters)) return false;
    addresses = select_discovery_addresses(adapters, maker_oui());
    return true;
}

}  // namespace kestd::driver::tcp
