#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kestd::driver::cab {

using mac_address = std::array<std::uint8_t, 6>;

// "00:0A:1B:2C:3D:4E": upper-case hexadecimal, two digits per byte, as capture filters take it.
std::string to_text(const mac_address& mac);

}  // namespace kestd::driver::cab
