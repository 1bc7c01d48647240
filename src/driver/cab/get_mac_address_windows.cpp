#include <iphlpapi.h>
#include <winsock2.h>

#include <algorithm>
#include <vector>

#include "driver/cab/get_mac_address.hpp"

namespace kestd::driver::cab {

// Npcap names a device "\Device\NPF_" followed by the adapter name, hence the substring.
bool get_mac_address(const std::string& capture_name, mac_address& mac) {
    ULONG size = 0;
    ::GetAdaptersInfo(nullptr, &size);
    if (size == 0) return false;
    std::vector<unsigned char> buffer(size, 0);
    auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (::GetAdaptersInfo(adapters, &size) != ERROR_SUCCESS) return false;
    for (const IP_ADAPTER_INFO* a = adapters; a != nullptr; a = a->Next) {
        if (capture_name.find(a->AdapterName) == std::string::npos) continue;
        if (a->AddressLength != mac.size()) return false;
        std::copy_n(a->Address, mac.size(), mac.begin());
        return true;
    }
    return false;
}

}  // namespace kestd::driver::cab
