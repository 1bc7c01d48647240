#include "driver/tcp/collector_socket.hpp"

#include "driver/tcp/discovery_message.hpp"
#include "driver/tcp/multicast_sockets.hpp"
#include "driver/tcp/tcp_log.hpp"
#include "driver/tcp/weak_tcp_driver.hpp"

namespace kestd::driver::tcp {

collector_socket::collector_socket(boost::asio::io_context& io,
                                   const boost::asio::ip::address_v4& interface_address,
                                   found_device_map& found)
    : socket(io),
      interface_address(interface_address),
      found(&found),
      buffer(receive_buffer_size, 0) {
    open_collector_socket(socket, interface_address);
}

void collector_socket::queue_receive() {
    socket.async_receive_from(
        boost::asio::buffer(buffer), sender,
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t count) {
            self->on_receive(ec, count);
        });
}

void collector_socket::close(boost::system::error_code& ec) { socket.close(ec); }

void collector_socket::on_receive(const boost::system::error_code& ec, std::size_t count) {
    if (ec) return;
    if (!socket.is_open()) return;  // completed just before the run ended
    KESTD_LOG(tcp_log(), trace) << "received " << count << " bytes via TCP discovery on "
                                << interface_address.to_string() << " from "
                                << sender.address().to_string();
    std::string serial;
    boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::any(), 0);
    if (parse_discovery_response(buffer.data(), count, serial, endpoint)) {
        KESTD_LOG(tcp_log(), trace) << "discovered device " << serial << " at "
                                    << endpoint.address().to_string() << ":" << endpoint.port();
        // The first answer for a serial stays.
        if (!found->contains(serial)) {
            if (found->size() < max_found_per_transport) {
                found->emplace(serial,
                               std::make_unique<weak_tcp_driver>(interface_address, endpoint));
            } else {
                ++refused_count;
            }
        }
    }
    queue_receive();
}

}  // namespace kestd::driver::tcp
