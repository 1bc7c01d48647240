#include "driver/tcp/collector.hpp"

#include "driver/tcp/tcp_log.hpp"

namespace kestd::driver::tcp {

collector::collector(boost::asio::io_context& io, std::chrono::milliseconds window,
                     found_device_map& found, std::function<void()>&& done)
    : found(&found), done(std::move(done)), timer(io, window) {}

void collector::add(std::shared_ptr<collector_socket> socket) {
    sockets.push_back(std::move(socket));
}

void collector::start_timer() {
    timer.async_wait(
        [self = shared_from_this()](const boost::system::error_code& ec) { self->on_timer(ec); });
}

void collector::close_sockets() {
    for (const auto& socket : sockets) {
        boost::system::error_code ec;
        socket->close(ec);
        // A socket that fails to close cannot deliver into the map any more either; the run
        // still ends, so the caller is never left waiting.
        if (ec) KESTD_LOG(tcp_log(), error) << "TCP discovery close error: " << ec.message();
    }
}

void collector::on_timer(const boost::system::error_code& ec) {
    // Closing first in both cases: no listener may write into the map after the run.
    close_sockets();
    std::size_t refused = 0;
    for (const auto& socket : sockets) refused += socket->refused();
    if (refused > 0) {
        KESTD_LOG(tcp_log(), warning)
            << "more than " << max_found_per_transport << " devices answered TCP discovery, "
            << refused << " answers ignored";
    }
    if (ec) {
        KESTD_LOG(tcp_log(), error) << "TCP discovery timer error: " << ec.message();
        return;
    }
    done();
}

}  // namespace kestd::driver::tcp
