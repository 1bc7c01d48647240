#pragma once

#include <string>

namespace kestd {

// Process-wide settings: written once on the main thread during start-up, read-only afterwards.
struct config {
    bool service = false;
    std::string log_file;
    bool tcp = false;
    bool cab = true;
    bool dxx = true;
    bool serial_port = true;
};

config& get_config();

}  // namespace kestd
