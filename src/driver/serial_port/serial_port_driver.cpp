#include "driver/serial_port/serial_port_driver.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "driver/serial_port/port_open.hpp"

namespace kestd::driver::serial_port {

serial_port_driver::serial_port_driver(boost::asio::io_context& io, const std::string& port_name)
    : port(io) {
    open_port(port, port_name);
}

serial_port_driver::~serial_port_driver() {
    boost::system::error_code ignored;
    close_port(port, ignored);
}

bool serial_port_driver::close() {
    if (!port.is_open()) return true;
    boost::system::error_code ec;
    close_port(port, ec);
    return !ec;
}

void serial_port_driver::async_read(const boost::asio::mutable_buffer& buffer,
                                    io_handler&& handler) {
    if (buffer.size() == 0) {
        // An empty read would complete at once with zero bytes and be reissued forever.
        boost::asio::post(port.get_executor(), [self = shared_from_this(), h = std::move(handler)] {
            h(boost::asio::error::invalid_argument, 0);
        });
        return;
    }
    port.async_read_some(boost::asio::buffer(buffer, read_piece_size()), [self = shared_from_this(), buffer, handler = std::move(handler)](
                                     const boost::system::error_code& ec, std::size_t size) mutable {
        // A read that timed out on an idle port (the Windows port time-outs) is reissued so
        // the caller only ever sees data or an error.
        if (!ec && size == 0) {
            self->async_read(buffer, std::move(handler));
            return;
        }
        handler(ec, size);
    });
}

void serial_port_driver::async_write(const boost::asio::const_buffer& buffer,
                                     io_handler&& handler) {
    // The composed write hands the port at most 65,536 bytes per underlying write.
    boost::asio::async_write(
        port, buffer,
        [self = shared_from_this(), handler = std::move(handler)](
            const boost::system::error_code& ec, std::size_t size) { handler(ec, size); });
}

}  // namespace kestd::driver::serial_port
