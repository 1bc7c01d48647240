#include <boost/asio/ip/multicast.hpp>
#include <boost/system/system_error.hpp>

#include "driver/tcp/discovery_message.hpp"
#include "driver/tcp/multicast_sockets.hpp"

namespace kestd::driver::tcp {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

template <typename Option>
void set(udp::socket& socket, const Option& option) {
    boost::system::error_code ec;
    socket.set_option(option, ec);
    if (ec) throw boost::system::system_error(ec, "set_option");
}

// Windows delivers the group's datagrams to a socket bound to the interface's own address,
// and only those that arrived on that interface.
void open_bound(udp::socket& socket, const asio::ip::address_v4& interface_address) {
    boost::system::error_code ec;
    socket.open(udp::v4(), ec);
    if (ec) throw boost::system::system_error(ec, "open");
    set(socket, asio::socket_base::reuse_address(true));
    socket.bind(udp::endpoint(interface_address, mdns_endpoint().port()), ec);
    if (ec) throw boost::system::system_error(ec, "bind");
}

}  // namespace

void open_collector_socket(udp::socket& socket, const asio::ip::address_v4& interface_address) {
    open_bound(socket, interface_address);
    set(socket, asio::ip::multicast::join_group(mdns_endpoint().address().to_v4(),
                                                interface_address));
    set(socket, asio::ip::multicast::enable_loopback(false));
}

void open_query_socket(udp::socket& socket, const asio::ip::address_v4& interface_address) {
    open_bound(socket, interface_address);
    set(socket, asio::ip::multicast::enable_loopback(false));
    set(socket, asio::ip::multicast::outbound_interface(interface_address));
}

}  // namespace kestd::driver::tcp
