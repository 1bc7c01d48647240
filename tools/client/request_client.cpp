#include "client/request_client.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <vector>

namespace kest {

namespace asio = boost::asio;
using asio::ip::udp;

udp::endpoint landing_endpoint() { return {asio::ip::make_address_v4("127.0.0.1"), 26741}; }

request_client::request_client(std::chrono::milliseconds timeout)
    : socket_(io_, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)), timeout_(timeout) {}

std::optional<std::string> request_client::request(const udp::endpoint& to,
                                                   std::string_view payload) {
    socket_.send_to(asio::buffer(payload.data(), payload.size()), to);
    return receive(to);
}

std::optional<std::string> request_client::receive(const udp::endpoint& to) {
    std::vector<char> buffer(65536);
    udp::endpoint from;
    std::optional<std::string> reply;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;

    // Datagrams from anyone else are not replies; keep waiting for the right sender.
    std::function<void(const boost::system::error_code&, std::size_t)> on_receive =
        [&](const boost::system::error_code& ec, std::size_t size) {
            if (ec) return;
            if (from == to) {
                reply.emplace(buffer.data(), size);
                return;
            }
            socket_.async_receive_from(asio::buffer(buffer), from, on_receive);
        };
    socket_.async_receive_from(asio::buffer(buffer), from, on_receive);
    io_.restart();
    io_.run_until(deadline);
    if (!io_.stopped()) {
        socket_.cancel();
        io_.restart();
        io_.run();
    }
    return reply;
}

}  // namespace kest
