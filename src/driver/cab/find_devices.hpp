#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::cab {

// Broadcasts both discovery queries on every usable adapter, collects replies for `window`
// on `io`, then fills `found` and calls `done`. False, with everything opened closed again
// and `done` never called, when the adapters cannot be listed or a capture handle made.
bool async_find_devices(boost::asio::io_context& io, std::chrono::milliseconds window,
                        found_device_map& found, std::function<void()>&& done);

// Whether an adapter with these capture-library flags is searched: it has addresses, is not
// loopback or wireless, and is connected (or has no notion of it).
bool is_searched(std::uint32_t flags, bool has_addresses);

}  // namespace kestd::driver::cab
