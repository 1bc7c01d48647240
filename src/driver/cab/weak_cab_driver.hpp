#pragma once

#include <string>

#include "driver/cab/mac_address.hpp"
#include "driver/weak_device_driver.hpp"

namespace kestd::driver::cab {

// A device that answered discovery: the adapter its reply came in on, and its address.
class weak_cab_driver : public weak_device_driver {
public:
    weak_cab_driver(std::string adapter_name, const mac_address& device_mac)
        : adapter_name(std::move(adapter_name)), device_mac(device_mac) {}

    std::shared_ptr<driver_base> open(boost::asio::io_context& io) override;
    const std::string& name() const override;

    const std::string& adapter() const { return adapter_name; }
    const mac_address& device() const { return device_mac; }

private:
    std::string adapter_name;
    mac_address device_mac;
};

}  // namespace kestd::driver::cab
