#include "driver/serial_port/weak_serial_port_driver.hpp"

#include "driver/serial_port/serial_port_driver.hpp"

namespace kestd::driver::serial_port {

std::shared_ptr<driver_base> weak_serial_port_driver::open(boost::asio::io_context& io) {
    return std::make_shared<serial_port_driver>(io, port_name);
}

const std::string& weak_serial_port_driver::name() const {
    static const std::string transport = "serial_port";
    return transport;
}

}  // namespace kestd::driver::serial_port
