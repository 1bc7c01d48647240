#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::serial_port {

// "USB\VID_" and the maker's vendor ID in upper-case hexadecimal.
std::string instance_id_prefix();

// The serial text a USB instance ID carries: the 6 characters after its last backslash
// (more are ignored), if the ID starts with `prefix` (case matters) and has them.
std::optional<std::string> serial_text(std::string_view instance_id, std::string_view prefix);

// Adds the port to `found` if its instance ID names a device of the family with a valid
// serial that is not there yet; logs "invalid serial: " for a serial that fails the rule.
void consider_port(driver::found_device_map& found, std::string_view instance_id,
                   const std::string& port_name, std::string_view prefix);

}  // namespace kestd::driver::serial_port
