#include <winsock2.h>
#include <iphlpapi.h>

#include <vector>

#include "driver/tcp/network_adapters.hpp"

namespace kestd::driver::tcp {

bool read_network_adapters(std::vector<network_adapter>& adapters) {
    ULONG size = 0;
    ::GetAdaptersInfo(nullptr, &size);
    std::vector<unsigned char> buffer(size);
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (size == 0 || ::GetAdaptersInfo(list, &size) != ERROR_SUCCESS) return false;

    adapters.clear();
    for (const IP_ADAPTER_INFO* info = list; info; info = info->Next) {
        network_adapter adapter;
        adapter.name = info->AdapterName;
        // Wireless adapters have their own type on Windows.
        adapter.ethernet = info->Type == MIB_IF_TYPE_ETHERNET;
        // An address entry without a context is not bound to the adapter.
        adapter.up = info->IpAddressList.Context != 0;
        for (UINT i = 0; i < info->AddressLength && i < adapter.hardware.size(); ++i) {
            adapter.hardware[i] = info->Address[i];
        }
        boost::system::error_code ec;
        const auto address =
            boost::asio::ip::make_address_v4(info->IpAddressList.IpAddress.String, ec);
        if (!ec) adapter.ipv4 = address;
        adapters.push_back(std::move(adapter));
    }
    return true;
}

}  // namespace kestd::driver::tcp
