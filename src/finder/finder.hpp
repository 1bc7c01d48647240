#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "driver/weak_device_driver.hpp"
#include "finder/transport_set.hpp"

namespace kestd {

// Runs discovery with one set of transports on one event loop, with one collection window
// for the asynchronous transports.
class finder {
public:
    using done_handler = std::function<void(driver::found_device_map)>;

    finder(boost::asio::io_context& io, std::chrono::milliseconds window, transport_set transports);

    // Runs every transport and calls `done` once with the merged results, on the event loop,
    // never before this returns. Throws only when no run could be started; `done` is then
    // never called.
    void async_find_all(done_handler&& done);

    // Calls `callback` once, as above, with the device found under exactly `serial`, or an
    // empty pointer.
    void async_find(const std::string& serial,
                    std::function<void(std::unique_ptr<driver::weak_device_driver>)>&& callback);

    const transport_set& transports() const { return set; }

private:
    boost::asio::io_context& io;
    std::chrono::milliseconds window;
    transport_set set;
};

}  // namespace kestd
