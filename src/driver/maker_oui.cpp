#include "driver/maker_oui.hpp"

#include <string_view>

namespace kestd::driver {

std::array<std::uint8_t, 3> maker_oui() {
    // Six hexadecimal digits, checked when the build is configured.
    constexpr std::string_view text = KESTD_MAKER_OUI;
    static_assert(text.size() == 6);
    const auto digit = [](char c) {
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    std::array<std::uint8_t, 3> oui{};
    for (std::size_t i = 0; i < oui.size(); ++i) {
        oui[i] = static_cast<std::uint8_t>(digit(text[2 * i]) << 4 | digit(text[2 * i + 1]));
    }
    return oui;
}

}  // namespace kestd::driver
