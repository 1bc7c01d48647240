#pragma once

#include <string>

#include "driver/cab/mac_address.hpp"

namespace kestd::driver::cab {

// The hardware address of the adapter the capture library calls `capture_name`; false when
// there is no such adapter or its address is not six bytes.
bool get_mac_address(const std::string& capture_name, mac_address& mac);

}  // namespace kestd::driver::cab
