#pragma once

#include <boost/asio/serial_port.hpp>
#include <cstddef>
#include <string>

namespace kestd::driver::serial_port {

// Opens the named port exclusively with the family's line settings (9600 8N1, no flow
// control, raw). Throws boost::system::system_error naming "open"; the port stays closed then.
void open_port(boost::asio::serial_port& port, const std::string& port_name);

// The most one read asks of the port: what the system's tty layer hands over at once at most.
std::size_t read_piece_size();

// Gives up the exclusive hold and closes the port.
void close_port(boost::asio::serial_port& port, boost::system::error_code& ec);

}  // namespace kestd::driver::serial_port
