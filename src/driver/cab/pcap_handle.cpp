#include "driver/cab/pcap_handle.hpp"

#include <stdexcept>

#include "driver/cab/capture_library.hpp"

namespace kestd::driver::cab {

pcap_handle::pcap_handle(const std::string& device_name) : device_name(device_name) {
    load_capture_library();
    char errors[PCAP_ERRBUF_SIZE] = "";
    handle = ::pcap_create(device_name.c_str(), errors);
    if (handle == nullptr) throw std::runtime_error(errors);
}

pcap_handle::~pcap_handle() { ::pcap_close(handle); }

std::string pcap_handle::error() const { return ::pcap_geterr(handle); }

bool pcap_handle::set_filter(const std::string& expression, std::string& why) {
    bpf_program program{};
    if (::pcap_compile(handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        why = "unable to compile cab filter: " + error();
        return false;
    }
    const bool installed = ::pcap_setfilter(handle, &program) == 0;
    if (!installed) why = "unable to set cab filter: " + error();
    ::pcap_freecode(&program);
    return installed;
}

}  // namespace kestd::driver::cab
