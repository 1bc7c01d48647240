#pragma once

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

namespace kestd::driver::tcp {

// Opens `socket` to hear the multicast DNS group on the interface with `interface_address`,
// and nothing that arrives on another interface, even with other mDNS listeners on the host.
// Throws boost::system::system_error naming the step: "open", "set_option" or "bind".
void open_collector_socket(boost::asio::ip::udp::socket& socket,
                           const boost::asio::ip::address_v4& interface_address);

// Opens `socket` to send a query from port 5353 out of that interface only, not looped back
// to this host. Throws as above.
void open_query_socket(boost::asio::ip::udp::socket& socket,
                       const boost::asio::ip::address_v4& interface_address);

}  // namespace kestd::driver::tcp
