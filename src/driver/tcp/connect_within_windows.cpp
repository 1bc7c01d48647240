#include <winsock2.h>

#include <boost/asio/error.hpp>

#include "driver/tcp/connect_within.hpp"

namespace kestd::driver::tcp {

void connect_within(boost::asio::ip::tcp::socket& socket,
                    const boost::asio::ip::tcp::endpoint& peer, std::chrono::milliseconds limit,
                    boost::system::error_code& ec) {
    socket.non_blocking(true, ec);
    if (ec) return;
    // Asio's own connect waits without a limit, so the system's is called directly.
    if (::connect(socket.native_handle(), peer.data(), static_cast<int>(peer.size())) != 0) {
        ec.assign(::WSAGetLastError(), boost::system::system_category());
    }
    if (ec == boost::asio::error::would_block || ec == boost::asio::error::in_progress) {
        WSAPOLLFD wanted{socket.native_handle(), POLLWRNORM, 0};
        const int ready = ::WSAPoll(&wanted, 1, static_cast<INT>(limit.count()));
        if (ready == SOCKET_ERROR) {
            ec.assign(::WSAGetLastError(), boost::system::system_category());
        } else if (ready == 0) {
            ec = boost::asio::error::timed_out;
        } else {
            int error = 0;
            int size = sizeof error;
            ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR,
                         reinterpret_cast<char*>(&error), &size);
            ec.assign(error, boost::system::system_category());
        }
    }
    boost::system::error_code ignored;
    socket.non_blocking(false, ignored);
}

}  // namespace kestd::driver::tcp
