#pragma once

#include <string>

namespace kestd::driver {

// The serial-number rule every transport applies before a device enters its results: a
// base-36 value in the family's ranges, written in visible ASCII only.
bool is_valid_serial(const std::string& serial);

}  // namespace kestd::driver
