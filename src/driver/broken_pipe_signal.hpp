#pragma once

namespace kestd::driver {

// Makes a write into a pipe without a reader fail with broken_pipe rather than end the
// process. Process-wide and idempotent.
void ignore_broken_pipe_signal();

}  // namespace kestd::driver
