#pragma once

#include <iosfwd>
#include <optional>

#include "common/logger.hpp"

namespace kestd {

// What start-up needs beyond kestd::config after the options have been read.
struct startup_options {
    severity log_level = severity::debug;
    // Set when the process is done already (version or usage printed).
    std::optional<int> exit_code;
};

// Reads the command line and, if one is named, the configuration file into kestd::config.
// Version and usage go to `out`. Parse errors are thrown as the options library raised them.
startup_options read_options(int argc, const char* const argv[], std::ostream& out);

// The start-up report of the effective settings, on the given logger.
void log_settings_report(logger& log, severity level);

}  // namespace kestd
