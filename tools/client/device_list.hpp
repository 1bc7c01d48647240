#pragma once

#include <boost/asio/ip/udp.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest {

// One line of the landing's find reply: a device and its RPC endpoint.
struct device_entry {
    std::string serial;
    boost::asio::ip::udp::endpoint rpc;

    friend bool operator==(const device_entry&, const device_entry&) = default;
};

// The devices in a find reply, in the server's order. Throws std::runtime_error naming the
// first line that is not "SERIAL ADDRESS PORT".
std::vector<device_entry> parse_device_list(std::string_view reply);

// The entry listed for `serial`, if any.
std::optional<device_entry> find_device(const std::vector<device_entry>& devices,
                                        std::string_view serial);

// A table for people: a header, then one row per device sorted by serial.
std::string device_table(std::vector<device_entry> devices);

// "ADDRESS:PORT", the way people write endpoints.
std::string to_text(const boost::asio::ip::udp::endpoint& endpoint);

}  // namespace kest
