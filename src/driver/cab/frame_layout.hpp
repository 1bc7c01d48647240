#pragma once

#include <cstddef>
#include <cstdint>

namespace kestd::driver::cab {

// The common header of CAB frames, from the first byte of the Ethernet frame. Fields other
// than the ethertype are little-endian.
namespace frame_layout {

inline constexpr std::size_t destination = 0;
inline constexpr std::size_t source = 6;
inline constexpr std::size_t ethertype = 12;
inline constexpr std::size_t marker = 14;
inline constexpr std::size_t length = 18;
inline constexpr std::size_t sequence = 20;
inline constexpr std::size_t flags = 22;
inline constexpr std::size_t kind = 23;
inline constexpr std::size_t header_size = 24;

inline constexpr std::uint16_t host_to_device = 0xCAB1;
inline constexpr std::uint16_t device_to_host = 0xCAB2;
inline constexpr std::uint8_t marker_bytes[4] = {0xAA, 0xAA, 0x55, 0x55};

inline constexpr std::uint8_t first_fragment = 0x01;
inline constexpr std::uint8_t last_fragment = 0x02;
inline constexpr std::uint8_t whole_message = first_fragment | last_fragment;
inline constexpr std::uint8_t data_kind = 0x00;
inline constexpr std::uint8_t query_kind = 0x01;

// A CAB1 data frame carries 1 to this many payload bytes.
inline constexpr std::size_t max_payload = 1487;
inline constexpr std::size_t max_frame = header_size + max_payload;
// The longest CAB2 message.
inline constexpr std::size_t max_message = 65535;

inline std::uint16_t read_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline void write_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace frame_layout

}  // namespace kestd::driver::cab
