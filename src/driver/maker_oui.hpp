#pragma once

#include <array>
#include <cstdint>

namespace kestd::driver {

// The first three bytes of the hardware addresses of the maker's own network products; such
// adapters are the devices' side of a link, never a way to reach them.
std::array<std::uint8_t, 3> maker_oui();

}  // namespace kestd::driver
