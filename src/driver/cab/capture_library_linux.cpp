#include "driver/cab/capture_library.hpp"

namespace kestd::driver::cab {

// libpcap is linked like any other library.
void load_capture_library() {}

}  // namespace kestd::driver::cab
