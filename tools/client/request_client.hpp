#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kest {

// The landing's fixed address.
boost::asio::ip::udp::endpoint landing_endpoint();

// Sends request datagrams from one loopback socket and waits a bounded time for the reply.
class request_client {
public:
    explicit request_client(std::chrono::milliseconds timeout);

    // The reply's bytes (possibly empty), or nothing when no reply came from `to` in time.
    std::optional<std::string> request(const boost::asio::ip::udp::endpoint& to,
                                       std::string_view payload);

    // Waits for one more datagram from `to` without sending anything.
    std::optional<std::string> receive(const boost::asio::ip::udp::endpoint& to);

    boost::asio::ip::udp::endpoint local_endpoint() const { return socket_.local_endpoint(); }

private:
    boost::asio::io_context io_;
    boost::asio::ip::udp::socket socket_;
    std::chrono::milliseconds timeout_;
};

}  // namespace kest
