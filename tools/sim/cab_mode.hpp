#pragma once

#include <ostream>

namespace kest::sim {

// kest-sim cab: devices that speak raw Ethernet frames on an interface (see cab_mode.cpp).
int run_cab(int argc, char** argv);

void print_cab_usage(std::ostream& out);

}  // namespace kest::sim
