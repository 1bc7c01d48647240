#include "driver/is_valid_serial.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace kestd::driver {

namespace {

std::optional<unsigned> base36_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return std::nullopt;
}

// Base-36 values of the accepted ranges.
constexpr std::uint64_t digits_low_first = 8'398'080;    // 50000
constexpr std::uint64_t digits_low_last = 13'868'829;    // 89999
constexpr std::uint64_t digits_high_first = 63'825'408;  // 120000
constexpr std::uint64_t digits_high_last = 76'014'621;   // 199999
constexpr std::uint64_t mixed_first = 16'796'160;        // A0000
constexpr std::uint64_t mixed_last = 2'176'782'335;      // ZZZZZZ

}  // namespace

bool is_valid_serial(const std::string& serial) {
    // A serial goes verbatim into the device list, whose fields are split at blanks and
    // lines at line feeds: only visible ASCII may pass, after the leading part too.
    if (!std::all_of(serial.begin(), serial.end(), [](char c) { return c > 0x20 && c < 0x7f; })) {
        return false;
    }
    // The leading base-36 part, read into 32 bits; an overflow rejects the serial.
    std::uint64_t value = 0;
    bool overflow = false;
    std::size_t read = 0;
    for (; read < serial.size(); ++read) {
        const auto digit = base36_digit(serial[read]);
        if (!digit) break;
        if (!overflow) {
            value = value * 36 + *digit;
            overflow = value > UINT32_MAX;
        }
    }
    if (read == 0 || overflow) return false;

    const bool all_decimal =
        std::all_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (all_decimal) {
        return (value >= digits_low_first && value <= digits_low_last) ||
               (value >= digits_high_first && value <= digits_high_last);
    }
    return value >= mixed_first && value <= mixed_last;
}

}  // namespace kestd::driver
