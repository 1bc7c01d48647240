#pragma once

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::serial_port {

// Adds every USB serial port of the device family, keyed by serial; synchronous.
void find_devices(driver::found_device_map& found);

}  // namespace kestd::driver::serial_port
