#pragma once

namespace kestd::driver::cab {

// Makes the capture library reachable before its first use; once per process, from any
// thread. On Windows the library lives in the Npcap folder of the system directory.
void load_capture_library();

}  // namespace kestd::driver::cab
