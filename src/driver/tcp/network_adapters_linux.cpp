#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "driver/tcp/network_adapters.hpp"

namespace kestd::driver::tcp {

namespace {

// Type, wireless-ness and hardware address come from sysfs; an adapter it does not show
// (another namespace's sysfs) is left as not Ethernet, so it is never queried.
void read_sysfs(network_adapter& adapter) {
    const std::filesystem::path dir = std::filesystem::path("/sys/class/net") / adapter.name;
    int type = -1;
    if (std::ifstream in(dir / "type"); !(in >> type)) return;
    adapter.ethernet = type == ARPHRD_ETHER;
    std::error_code ignored;
    adapter.wireless = std::filesystem::exists(dir / "wireless", ignored) ||
                       std::filesystem::exists(dir / "phy80211", ignored);
    std::string text;
    if (std::ifstream in(dir / "address"); !(in >> text)) return;
    unsigned b[6];
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5]) != 6) {
        return;
    }
    for (std::size_t i = 0; i < 6; ++i) adapter.hardware[i] = static_cast<std::uint8_t>(b[i]);
}

}  // namespace

bool read_network_adapters(std::vector<network_adapter>& adapters) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);

    adapters.clear();
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name) continue;
        auto adapter = std::find_if(adapters.begin(), adapters.end(),
                                    [&](const network_adapter& a) { return a.name == entry->ifa_name; });
        if (adapter == adapters.end()) {
            adapter = adapters.insert(adapters.end(), network_adapter{});
            adapter->name = entry->ifa_name;
            adapter->up = (entry->ifa_flags & IFF_UP) != 0;
            read_sysfs(*adapter);
        }
        if (!adapter->ipv4 && entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            adapter->ipv4 = boost::asio::ip::address_v4(ntohl(in->sin_addr.s_addr));
        }
    }
    return true;
}

}  // namespace kestd::driver::tcp
