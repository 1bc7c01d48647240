#pragma once

#include "common/logger.hpp"

namespace kestd::driver {

// The "driver" channel, for code every transport shares.
logger& driver_log();

}  // namespace kestd::driver
