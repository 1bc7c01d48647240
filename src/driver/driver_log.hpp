#pragma once

#include "app/logger.hpp"

namespace kestd::driver {

// The "driver" channel, for code every transport shares.
logger& driver_log();

}  // namespace kestd::driver
