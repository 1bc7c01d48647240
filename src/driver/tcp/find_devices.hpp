#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::tcp {

// Asks every usable interface and the loopback address for devices, fills `found` on `io`
// during `window`, then calls `done`. If the interfaces cannot be read, nothing starts and
// `done` stays with the caller, never called.
void async_find_devices(boost::asio::io_context& io, std::chrono::milliseconds window,
                        found_device_map& found, std::function<void()>&& done);

// The same on the given interface addresses (dotted IPv4 texts).
void async_find_devices_on(const std::vector<std::string>& addresses,
                           boost::asio::io_context& io, std::chrono::milliseconds window,
                           found_device_map& found, std::function<void()>&& done);

}  // namespace kestd::driver::tcp
