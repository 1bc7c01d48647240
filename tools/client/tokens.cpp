#include "client/tokens.hpp"

#include <charconv>

namespace kest {

std::vector<std::string_view> split_blanks(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto blank = text.find(' ');
        pieces.push_back(text.substr(0, blank));
        if (blank == std::string_view::npos) return pieces;
        text.remove_prefix(blank + 1);
    }
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
    // from_chars would take a leading '-' and stop quietly at the first non-digit.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || value > max) return std::nullopt;
    return value;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
    const auto value = parse_decimal(text, 65535);
    if (!value || *value == 0) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

}  // namespace kest
