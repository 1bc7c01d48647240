#pragma once

#include "common/logger.hpp"

namespace kestd::driver::cab {

// The "cab" channel.
logger& cab_log();

}  // namespace kestd::driver::cab
