#include "driver/tcp/find_devices.hpp"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

#include "driver/tcp/collector.hpp"
#include "driver/tcp/discovery_addresses.hpp"
#include "driver/tcp/discovery_message.hpp"
#include "driver/tcp/multicast_sockets.hpp"
#include "driver/tcp/tcp_log.hpp"

namespace kestd::driver::tcp {

namespace {

void send_query(boost::asio::io_context& io, const boost::asio::ip::address_v4& interface_address,
                const std::string& text) {
    boost::asio::ip::udp::socket socket(io);
    open_query_socket(socket, interface_address);
    KESTD_LOG(tcp_log(), trace) << "sending multicast query from " << text;
    boost::system::error_code ec;
    socket.send_to(boost::asio::buffer(discovery_query), mdns_endpoint(), 0, ec);
    if (ec) throw boost::system::system_error(ec, "send_to");
}

}  // namespace

void async_find_devices(boost::asio::io_context& io, std::chrono::milliseconds window,
                        found_device_map& found, std::function<void()>&& done) {
    std::vector<std::string> addresses;
    if (!list_discovery_addresses(addresses)) return;
    async_find_devices_on(addresses, io, window, found, std::move(done));
}

void async_find_devices_on(const std::vector<std::string>& addresses,
                           boost::asio::io_context& io, std::chrono::milliseconds window,
                           found_device_map& found, std::function<void()>&& done) {
    const auto run = std::make_shared<collector>(io, window, found, std::move(done));
    for (const auto& text : addresses) {
        try {
            const auto interface_address = boost::asio::ip::make_address_v4(text);
            const auto socket = std::make_shared<collector_socket>(io, interface_address, found);
            run->add(socket);
            socket->queue_receive();
            send_query(io, interface_address, text);
        } catch (const std::exception& e) {
            KESTD_LOG(tcp_log(), error)
                << "unable to send multicast query from " << text << ": " << e.what();
        }
    }
    run->start_timer();
}

}  // namespace kestd::driver::tcp
