#pragma once

#include "common/logger.hpp"

namespace kestd::driver::serial_port {

// The "serial_port" channel.
logger& serial_port_log();

}  // namespace kestd::driver::serial_port
