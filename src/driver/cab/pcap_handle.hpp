#pragma once

#include <pcap.h>

#include <string>

namespace kestd::driver::cab {

// Owns one capture handle on one adapter, created but not yet activated.
class pcap_handle {
public:
    // Throws std::runtime_error with the capture library's text when no handle is made.
    explicit pcap_handle(const std::string& device_name);
    ~pcap_handle();
    pcap_handle(const pcap_handle&) = delete;
    pcap_handle& operator=(const pcap_handle&) = delete;

    pcap_t* get() const { return handle; }
    const std::string& name() const { return device_name; }
    // The handle's last error text.
    std::string error() const;

    // Filters captured frames to `expression`; false when it does not compile or install,
    // with `why` saying which.
    bool set_filter(const std::string& expression, std::string& why);

private:
    pcap_t* handle = nullptr;
    std::string device_name;
};

}  // namespace kestd::driver::cab
