#pragma once

#include "common/logger.hpp"

namespace kestd {

// Everything after the options: the settings report, then the landing served on this
// thread until SIGINT or SIGTERM, or under the service manager when "service" is set.
// Returns the process exit code: 0, or -1 after an exception in the landing (or, as a
// service, when it could not run or ended without a stop request).
int run_server(severity level);

}  // namespace kestd
