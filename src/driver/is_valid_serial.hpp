#pragma once

#include <string>

namespace kestd::driver {

// The serial-number rule every transport applies before a device enters its results.
bool is_valid_serial(const std::string& serial);

}  // namespace kestd::driver
