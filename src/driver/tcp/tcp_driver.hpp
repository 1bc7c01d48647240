#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>

#include "driver/driver_base.hpp"

namespace kestd::driver::tcp {

// A connection to a network device, made from the interface it was discovered on.
class tcp_driver : public std::enable_shared_from_this<tcp_driver>, public driver_base {
public:
    // The connect blocks the opening thread (a device session's own); an unreachable host
    // would hold it for minutes, so it gives up after this long.
    static constexpr std::chrono::milliseconds connect_time_limit{std::chrono::seconds(5)};

    // Throws boost::system::system_error naming "open", "bind" or "connect".
    tcp_driver(boost::asio::io_context& io, const boost::asio::ip::address_v4& interface_address,
               const boost::asio::ip::tcp::endpoint& device,
               std::chrono::milliseconds time_limit = connect_time_limit);
    ~tcp_driver() override;

    bool close() override;
    void async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler) override;
    void async_write(const boost::asio::const_buffer& buffer, io_handler&& handler) override;

private:
    boost::asio::ip::tcp::socket socket;
};

}  // namespace kestd::driver::tcp
