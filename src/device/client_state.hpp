#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <vector>

namespace kestd {

// One attached data connection of a device.
class client_state {
public:
    static constexpr std::size_t buffer_size = 2 * 1024 * 1024;
    static constexpr int socket_buffer_size = 4 * 1024 * 1024;

    // Takes the accepted socket and makes it non-blocking with large kernel buffers; throws
    // boost::system::system_error naming "non_blocking" or "set_option".
    explicit client_state(boost::asio::ip::tcp::socket&& accepted);

    boost::asio::ip::tcp::socket socket;
    // The client's bytes on their way to the device; reused for every read.
    std::vector<std::uint8_t> buffer;
    // Bytes at the start of `buffer` waiting to be written to the device.
    std::size_t pending = 0;
    // Bytes from the device this client's socket could not take.
    std::uint64_t dropped = 0;
};

}  // namespace kestd
