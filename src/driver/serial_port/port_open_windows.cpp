#include <windows.h>

#include <boost/system/system_error.hpp>

#include "driver/serial_port/port_open.hpp"

namespace kestd::driver::serial_port {

void open_port(boost::asio::serial_port& port, const std::string& port_name) {
    using sp = boost::asio::serial_port_base;
    const std::string path = port_name.starts_with('\\') ? port_name : "\\\\.\\" + port_name;
    boost::system::error_code ec;
    // Asio opens without sharing, which makes the port exclusive.
    port.open(path, ec);
    if (!ec) port.set_option(sp::baud_rate(9600), ec);
    if (!ec) port.set_option(sp::character_size(8), ec);
    if (!ec) port.set_option(sp::parity(sp::parity::none), ec);
    if (!ec) port.set_option(sp::stop_bits(sp::stop_bits::one), ec);
    if (!ec) port.set_option(sp::flow_control(sp::flow_control::none), ec);
    if (ec) {
        boost::system::error_code ignored;
        port.close(ignored);
        throw boost::system::system_error(ec, "open");
    }
    // Reads return after 1 ms with what has arrived; the driver reissues empty ones.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 1, 0, 0};
    SetCommTimeouts(port.native_handle(), &timeouts);
}

std::size_t read_piece_size() { return 65536; }

void close_port(boost::asio::serial_port& port, boost::system::error_code& ec) { port.close(ec); }

}  // namespace kestd::driver::serial_port
