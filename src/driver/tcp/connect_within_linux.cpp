#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <algorithm>
#include <cerrno>

#include "driver/tcp/connect_within.hpp"

namespace kestd::driver::tcp {

void connect_within(boost::asio::ip::tcp::socket& socket,
                    const boost::asio::ip::tcp::endpoint& peer, std::chrono::milliseconds limit,
                    boost::system::error_code& ec) {
    socket.non_blocking(true, ec);
    if (ec) return;
    // Asio's own connect waits without a limit, so the system's is called directly.
    if (::connect(socket.native_handle(), peer.data(), static_cast<socklen_t>(peer.size())) != 0) {
        // Interrupted, the connect goes on in the background like one in progress.
        ec.assign(errno == EINTR ? EINPROGRESS : errno, boost::system::system_category());
    }
    if (ec == boost::asio::error::in_progress || ec == boost::asio::error::would_block) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        pollfd wanted{socket.native_handle(), POLLOUT, 0};
        int ready = 0;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            ready = ::poll(&wanted, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (ready >= 0 || errno != EINTR) break;
        }
        if (ready < 0) {
            ec.assign(errno, boost::system::system_category());
        } else if (ready == 0) {
            ec = boost::asio::error::timed_out;
        } else {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
            ec.assign(error, boost::system::system_category());
        }
    }
    boost::system::error_code ignored;
    socket.non_blocking(false, ignored);
}

}  // namespace kestd::driver::tcp
