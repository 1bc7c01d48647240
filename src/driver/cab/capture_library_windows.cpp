#include <windows.h>

#include <mutex>
#include <string>

#include "driver/cab/capture_library.hpp"

namespace kestd::driver::cab {

// wpcap.dll is delay-loaded: it is found on first use, in the folder named here.
void load_capture_library() {
    static std::once_flag once;
    std::call_once(once, [] {
        char system[MAX_PATH] = "";
        const UINT size = ::GetSystemDirectoryA(system, MAX_PATH);
        if (size == 0 || size >= MAX_PATH) return;
        ::SetDllDirectoryA((std::string(system) + "\\Npcap").c_str());
    });
}

}  // namespace kestd::driver::cab
