#pragma once

#include <boost/asio/serial_port.hpp>
#include <string>

namespace kestd::driver::serial_port {

// Opens the named port exclusively with the family's line settings (9600 8N1, no flow
// control, raw). Throws boost::system::system_error naming "open"; the port stays closed then.
void open_port(boost::asio::serial_port& port, const std::string& port_name);

// Gives up the exclusive hold and closes the port.
void close_port(boost::asio::serial_port& port, boost::system::error_code& ec);

}  // namespace kestd::driver::serial_port
