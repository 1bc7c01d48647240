#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "driver/cab/mac_address.hpp"

namespace kestd::driver::cab {

inline constexpr std::uint32_t query_a = 0x44A11BAA;
inline constexpr std::uint32_t query_b = 0x00000001;
inline constexpr std::size_t query_size = 28;

// The broadcast discovery query with `code`, sent from `adapter`.
std::array<std::uint8_t, query_size> make_query(std::uint32_t code, const mac_address& adapter);

// A device's answer to a query.
struct discovery_reply {
    std::string serial;  // upper case, not yet checked against the serial rule
    mac_address device{};
};

// Reads a captured frame as a discovery reply of either form; nothing when it is not one.
// A form A number beyond 32 bits is logged on "cab" and yields nothing.
std::optional<discovery_reply> read_reply(std::span<const std::uint8_t> frame);

// Base 36 in lower case, most significant digit first, "0" for zero.
std::string to_base36(std::uint64_t value);

}  // namespace kestd::driver::cab
