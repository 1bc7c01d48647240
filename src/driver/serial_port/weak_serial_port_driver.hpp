#pragma once

#include <string>

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::serial_port {

// A USB serial port of the device family, known by the name that opens it.
class weak_serial_port_driver : public weak_device_driver {
public:
    explicit weak_serial_port_driver(std::string port_name) : port_name(std::move(port_name)) {}

    std::shared_ptr<driver_base> open(boost::asio::io_context& io) override;
    const std::string& name() const override;

    const std::string& port() const { return port_name; }

private:
    std::string port_name;
};

}  // namespace kestd::driver::serial_port
