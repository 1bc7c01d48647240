#include "driver/broken_pipe_signal.hpp"

namespace kestd::driver {

// Windows has no such signal: the write fails by itself.
void ignore_broken_pipe_signal() {}

}  // namespace kestd::driver
