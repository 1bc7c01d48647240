#pragma once

#include "common/logger.hpp"

namespace kestd::driver::tcp {

// The "tcp" channel.
logger& tcp_log();

}  // namespace kestd::driver::tcp
