#pragma once

#include "app/config.hpp"
#include "finder/transport_set.hpp"

namespace kestd {

// The transports this build has, as the settings switch them on or off.
transport_set enabled_transports(const config& cfg);

}  // namespace kestd
