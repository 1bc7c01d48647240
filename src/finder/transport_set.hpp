#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>

#include "driver/weak_device_driver.hpp"

namespace kestd {

// The find operations one discovery run calls; an empty one is a transport not taking part.
// The application decides which transports take part and hands the set down.
struct transport_set {
    // Looks at every device and returns.
    using sync_find = std::function<void(driver::found_device_map&)>;
    // Returns at once, fills the map on the event loop during the window, then calls the
    // callback; releasing the callback tells the run this transport is finished.
    using async_find = std::function<void(boost::asio::io_context&, std::chrono::milliseconds,
                                          driver::found_device_map&, std::function<void()>&&)>;

    async_find tcp;
    async_find cab;
    sync_find serial_port;
    sync_find dxx;
};

}  // namespace kestd
