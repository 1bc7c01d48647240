#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <memory>
#include <string>

#include "driver/driver_base.hpp"

namespace kestd::driver::serial_port {

// An open USB serial port: 9600 baud, 8 data bits, no parity, one stop bit, no flow control,
// raw bytes. Opened exclusively, so two servers never interleave on one device.
class serial_port_driver : public std::enable_shared_from_this<serial_port_driver>,
                           public driver_base {
public:
    // Throws boost::system::system_error naming "open" when the port cannot be opened or is
    // in use.
    serial_port_driver(boost::asio::io_context& io, const std::string& port_name);
    ~serial_port_driver() override;

    bool close() override;
    void async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler) override;
    void async_write(const boost::asio::const_buffer& buffer, io_handler&& handler) override;

    // The largest piece one underlying write hands the port.
    static constexpr std::size_t max_write_piece = 65536;

private:
    boost::asio::serial_port port;
};

}  // namespace kestd::driver::serial_port
