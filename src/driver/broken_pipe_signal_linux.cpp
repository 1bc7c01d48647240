#include <csignal>

#include "driver/broken_pipe_signal.hpp"

namespace kestd::driver {

void ignore_broken_pipe_signal() {
    // Idempotent: setting the same disposition again changes nothing.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace kestd::driver
