#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The device's side of the CAB frames: raw Ethernet frames whose 24-byte header is
//
//   0 destination MAC   6 source MAC   12 ethertype (big-endian)   14 marker AA AA 55 55
//   18 length   20 sequence number   22 flags   23 frame kind   24 payload
//
// with the length and the sequence number little-endian. The host sends 0xCAB1 frames (data
// and discovery queries), the device 0xCAB2 frames (data messages and discovery replies).
namespace kest::sim::cab {

using mac_address = std::array<std::uint8_t, 6>;

constexpr std::uint16_t host_ethertype = 0xCAB1;
constexpr std::uint16_t device_ethertype = 0xCAB2;
constexpr std::size_t header_size = 24;
constexpr std::size_t query_size = 28;
constexpr std::size_t reply_a_size = header_size + 40;
constexpr std::size_t reply_b_size = header_size + 26;
constexpr std::size_t ethernet_minimum = 60;  // what an adapter pads a short frame to
constexpr std::uint8_t first_fragment = 0x01, last_fragment = 0x02;
constexpr std::uint8_t data_kind = 0x00, query_kind = 0x01;
constexpr std::uint32_t query_a = 0x44A11BAA, query_b = 0x00000001;
constexpr mac_address broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct header {
    mac_address destination;
    mac_address source;
    std::uint16_t ethertype;
    bool marked;  // the marker is in place
    std::uint16_t length;
    std::uint16_t sequence;
    std::uint8_t flags;
    std::uint8_t kind;
};

// The header of a captured frame; nothing when the frame is shorter than a header.
std::optional<header> read_header(const std::uint8_t* frame, std::size_t size);

// The query code of a discovery query, or nothing when the frame is not one.
std::optional<std::uint32_t> query_code(const header& h, const std::uint8_t* frame,
                                        std::size_t size);

// Writes a device-to-host header at `frame`.
void write_header(std::uint8_t* frame, const mac_address& to, const mac_address& from,
                  std::uint16_t length, std::uint16_t sequence, std::uint8_t flags);

// Writes the whole reply to query A (form A, 64 bytes) and returns its size.
std::size_t write_reply_a(std::uint8_t* frame, const mac_address& to, const mac_address& from,
                          std::uint64_t serial);

// Writes the whole reply to query B (form B, 50 bytes) and returns its size. The serial, at
// most 6 bytes, goes in reversed; a shorter one ends with a zero byte.
std::size_t write_reply_b(std::uint8_t* frame, const mac_address& to, const mac_address& from,
                          std::string_view serial);

// Base-36 text in either letter case; nothing when it is empty, holds another character or
// its value does not fit 64 bits.
std::optional<std::uint64_t> parse_base36(std::string_view text);

// The value in base 36, upper case, without leading zeros.
std::string base36(std::uint64_t value);

// Six hexadecimal byte pairs separated by colons (or dashes).
std::optional<mac_address> parse_mac(std::string_view text);

// Lower case, colons between the bytes, as ip(8) shows it.
std::string mac_text(const mac_address& mac);

}  // namespace kest::sim::cab
