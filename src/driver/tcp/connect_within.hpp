#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>

namespace kestd::driver::tcp {

// Connects the open `socket` to `peer`, blocking for at most `limit`; `ec` is timed_out when
// the peer has not answered by then. The socket is left in blocking mode.
void connect_within(boost::asio::ip::tcp::socket& socket,
                    const boost::asio::ip::tcp::endpoint& peer, std::chrono::milliseconds limit,
                    boost::system::error_code& ec);

}  // namespace kestd::driver::tcp
