#include "driver/cab/mac_address.hpp"

namespace kestd::driver::cab {

std::string to_text(const mac_address& mac) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) text += ':';
        text += digits[mac[i] >> 4];
        text += digits[mac[i] & 0x0F];
    }
    return text;
}

}  // namespace kestd::driver::cab
