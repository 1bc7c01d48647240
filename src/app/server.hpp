#pragma once

#include "common/logger.hpp"

namespace kestd {

// Everything after the options: the settings report, then the landing served on this
// thread until SIGINT or SIGTERM. Returns the process exit code (0, or -1 after an
// exception in the landing).
int run_server(severity level);

}  // namespace kestd
