#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::tcp {

// One interface's listener during a discovery run: every device answer that arrives on it
// becomes a found device reached from that interface.
class collector_socket : public std::enable_shared_from_this<collector_socket> {
public:
    static constexpr std::size_t receive_buffer_size = 2048;

    // Throws boost::system::system_error naming the failing step.
    collector_socket(boost::asio::io_context& io,
                     const boost::asio::ip::address_v4& interface_address, found_device_map& found);

    void queue_receive();
    // Ends receiving; a receive already completed is dropped, since `found` may be gone.
    void close(boost::system::error_code& ec);

    // Devices heard but not taken because the map was full.
    std::size_t refused() const { return refused_count; }

private:
    void on_receive(const boost::system::error_code& ec, std::size_t count);

    boost::asio::ip::udp::socket socket;
    boost::asio::ip::address_v4 interface_address;
    found_device_map* found;
    std::vector<std::uint8_t> buffer;
    boost::asio::ip::udp::endpoint sender;
    std::size_t refused_count = 0;
};

}  // namespace kestd::driver::tcp
