#include "driver/tcp/tcp_driver.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "driver/tcp/connect_within.hpp"

namespace kestd::driver::tcp {

tcp_driver::tcp_driver(boost::asio::io_context& io,
                       const boost::asio::ip::address_v4& interface_address,
                       const boost::asio::ip::tcp::endpoint& device,
                       std::chrono::milliseconds time_limit)
    : socket(io) {
    boost::system::error_code ec;
    socket.open(boost::asio::ip::tcp::v4(), ec);
    if (ec) throw boost::system::system_error(ec, "open");
    // The connection leaves from the interface the device answered on.
    socket.bind(boost::asio::ip::tcp::endpoint(interface_address, 0), ec);
    if (ec) throw boost::system::system_error(ec, "bind");
    connect_within(socket, device, time_limit, ec);
    if (ec) throw boost::system::system_error(ec, "connect");
}

tcp_driver::~tcp_driver() {
    boost::system::error_code ignored;
    socket.close(ignored);
}

bool tcp_driver::close() {
    if (!socket.is_open()) return true;
    boost::system::error_code cancel_ec, close_ec;
    socket.cancel(cancel_ec);
    socket.close(close_ec);
    return !cancel_ec && !close_ec;
}

void tcp_driver::async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler) {
    if (buffer.size() == 0) {
        // An empty read would complete at once with zero bytes and be reissued forever.
        boost::asio::post(socket.get_executor(),
                          [self = shared_from_this(), h = std::move(handler)] {
                              h(boost::asio::error::invalid_argument, 0);
                          });
        return;
    }
    socket.async_receive(buffer, 0,
                         [self = shared_from_this(), handler = std::move(handler)](
                             const boost::system::error_code& ec, std::size_t size) {
                             handler(ec, size);
                         });
}

void tcp_driver::async_write(const boost::asio::const_buffer& buffer, io_handler&& handler) {
    // The composed write hands the socket at most 65,536 bytes per underlying send.
    boost::asio::async_write(socket, buffer,
                             [self = shared_from_this(), handler = std::move(handler)](
                                 const boost::system::error_code& ec, std::size_t size) {
                                 handler(ec, size);
                             });
}

}  // namespace kestd::driver::tcp
