#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kest {

// The pieces between single blanks, empty ones included, as the server splits requests.
std::vector<std::string_view> split_blanks(std::string_view text);

// A number written in decimal digits only (no sign, no blanks), if it is at most `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max);

// A TCP or UDP port number, 1 to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text);

}  // namespace kest
