#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>

#include <algorithm>
#include <cstring>

#include "driver/cab/get_mac_address.hpp"

namespace kestd::driver::cab {

// Capture names here are the interface names themselves, so they are matched exactly: a
// substring match would take eth1's address for eth10.
bool get_mac_address(const std::string& capture_name, mac_address& mac) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool found = false;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
        if (capture_name != i->ifa_name) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
        if (link->sll_halen == mac.size()) {
            std::copy_n(link->sll_addr, mac.size(), mac.begin());
            found = true;
        }
        break;
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace kestd::driver::cab
