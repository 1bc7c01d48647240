#include <netinet/in.h>

#include <boost/asio/ip/multicast.hpp>
#include <boost/system/system_error.hpp>

#include "driver/tcp/discovery_message.hpp"
#include "driver/tcp/multicast_sockets.hpp"

namespace kestd::driver::tcp {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

// Off: the socket hears the group only on the interfaces it joined it on itself.
using multicast_all = asio::detail::socket_option::boolean<IPPROTO_IP, IP_MULTICAST_ALL>;

template <typename Option>
void set(udp::socket& socket, const Option& option) {
    boost::system::error_code ec;
    socket.set_option(option, ec);
    if (ec) throw boost::system::system_error(ec, "set_option");
}

void open_shared(udp::socket& socket) {
    boost::system::error_code ec;
    socket.open(udp::v4(), ec);
    if (ec) throw boost::system::system_error(ec, "open");
    // Other mDNS responders on this host hold port 5353 too.
    set(socket, asio::socket_base::reuse_address(true));
}

void bind(udp::socket& socket, const udp::endpoint& local) {
    boost::system::error_code ec;
    socket.bind(local, ec);
    if (ec) throw boost::system::system_error(ec, "bind");
}

}  // namespace

void open_collector_socket(udp::socket& socket, const asio::ip::address_v4& interface_address) {
    open_shared(socket);
    set(socket, multicast_all(false));
    // A socket bound to a unicast address receives no multicast here; bound to the group it
    // receives nothing else.
    bind(socket, mdns_endpoint());
    set(socket, asio::ip::multicast::join_group(mdns_endpoint().address().to_v4(),
                                                interface_address));
    set(socket, asio::ip::multicast::enable_loopback(false));
}

void open_query_socket(udp::socket& socket, const asio::ip::address_v4& interface_address) {
    open_shared(socket);
    bind(socket, udp::endpoint(interface_address, mdns_endpoint().port()));
    set(socket, asio::ip::multicast::enable_loopback(false));
    set(socket, asio::ip::multicast::outbound_interface(interface_address));
}

}  // namespace kestd::driver::tcp
