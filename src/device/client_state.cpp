#include "device/client_state.hpp"

#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

namespace kestd {

namespace {
void check(const boost::system::error_code& ec, const char* what) {
    if (ec) throw boost::system::system_error(ec, what);
}
}  // namespace

client_state::client_state(boost::asio::ip::tcp::socket&& accepted)
    : socket(std::move(accepted)), buffer(buffer_size, 0) {
    boost::system::error_code ec;
    socket.non_blocking(true, ec);
    check(ec, "non_blocking");
    socket.set_option(boost::asio::socket_base::send_buffer_size(socket_buffer_size), ec);
    check(ec, "set_option");
    socket.set_option(boost::asio::socket_base::receive_buffer_size(socket_buffer_size), ec);
    check(ec, "set_option");
}

}  // namespace kestd
