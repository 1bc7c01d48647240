#pragma once

#include "common/logger.hpp"

namespace kestd {

// Sets up the console sink, the optional file sink (from config::log_file) and the one
// severity filter shared by both. Call once, before the first record.
void init_logging(severity level);

}  // namespace kestd
