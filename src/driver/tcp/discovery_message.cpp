#include "driver/tcp/discovery_message.hpp"

#include <algorithm>
#include <optional>

#include "common/printable.hpp"
#include "driver/is_valid_serial.hpp"
#include "driver/tcp/tcp_log.hpp"

namespace kestd::driver::tcp {

namespace {

constexpr std::uint16_t type_a = 1;
constexpr std::uint16_t type_srv = 33;
constexpr std::size_t answer_rdlength_at = 39;
constexpr std::size_t instance_label_at = 41;
constexpr std::size_t additional_records_at = 50;

std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// The offset just past the record name starting at `at`: labels up to a zero byte, or up to
// a compression pointer. Nothing if the name runs past `count` or uses a reserved label kind.
std::optional<std::size_t> skip_name(const std::uint8_t* data, std::size_t count, std::size_t at) {
    while (at < count) {
        const std::uint8_t length = data[at];
        if (length == 0) return at + 1;
        if ((length & 0xC0) == 0xC0) {
            if (at + 2 > count) return std::nullopt;
            return at + 2;
        }
        if ((length & 0xC0) != 0) return std::nullopt;
        at += 1 + std::size_t{length};
    }
    return std::nullopt;
}

}  // namespace

const boost::asio::ip::udp::endpoint& mdns_endpoint() {
    static const boost::asio::ip::udp::endpoint group(
        boost::asio::ip::make_address_v4("224.0.0.251"), 5353);
    return group;
}

bool parse_discovery_response(const std::uint8_t* data, std::size_t count, std::string& serial,
                              boost::asio::ip::tcp::endpoint& endpoint) {
    if (count < min_response_size) return false;
    if ((data[2] & 0x80) == 0) return false;  // a query, not a response
    if (read16(data + 6) == 0) return false;
    const std::uint16_t additional = read16(data + 10);
    if (additional < 2) return false;
    if (!std::equal(service_name.begin(), service_name.end(), data + 12)) return false;

    const std::uint16_t name_size = read16(data + answer_rdlength_at);
    if (name_size != 9) {
        KESTD_LOG(tcp_log(), error)
            << "invalid domain name size in TCP discovery response: " << name_size;
        return false;
    }
    if (data[instance_label_at] != serial_label_size) {
        KESTD_LOG(tcp_log(), error) << "unexpected serial length in TCP discovery response";
        return false;
    }
    serial.assign(reinterpret_cast<const char*>(data + instance_label_at + 1), serial_label_size);
    if (!is_valid_serial(serial)) {
        KESTD_LOG(tcp_log(), warning) << "invalid serial: " << printable(serial);
        return false;
    }

    // The device family writes every record name as a 2-byte pointer; standard responders
    // also write names in full, so each name is skipped by the DNS rules.
    std::size_t record = additional_records_at;
    for (std::uint16_t i = 0; i < additional; ++i) {
        const auto type_at = skip_name(data, count, record);
        if (!type_at || *type_at + 2 > count) {
            KESTD_LOG(tcp_log(), error)
                << "malformed TCP discovery response record, missing record type";
            return false;
        }
        const std::uint16_t type = read16(data + *type_at);
        const std::size_t d = *type_at + 8;  // after TYPE, CLASS and TTL
        if (d + 2 > count) {
            KESTD_LOG(tcp_log(), error)
                << "malformed TCP discovery response record, missing data length";
            return false;
        }
        const std::uint16_t data_size = read16(data + d);
        if (type == type_srv) {
            if (d + 8 > count) {
                KESTD_LOG(tcp_log(), error)
                    << "malformed TCP discovery response record, missing port";
                return false;
            }
            endpoint.port(read16(data + d + 6));
        } else if (type == type_a) {
            if (d + 6 > count) {
                KESTD_LOG(tcp_log(), error)
                    << "malformed TCP discovery response record, missing IP";
                return false;
            }
            boost::asio::ip::address_v4::bytes_type address;
            std::copy_n(data + d + 2, address.size(), address.begin());
            endpoint.address(boost::asio::ip::address_v4(address));
        } else {
            KESTD_LOG(tcp_log(), warning) << "unhandled mDNS record type in TCP discovery response";
        }
        record = d + 2 + data_size;
    }
    return true;
}

}  // namespace kestd::driver::tcp
