#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/logger.hpp"
#include "driver/weak_device_driver.hpp"
#include "finder/transport_set.hpp"

namespace kestd {

// Runs discovery on one event loop with one collection window for the asynchronous transports.
class finder {
public:
    // Runs the transports kestd::config enables at the time of each run.
    finder(boost::asio::io_context& io, std::chrono::milliseconds window);
    // Runs exactly the given transports.
    finder(boost::asio::io_context& io, std::chrono::milliseconds window, transport_set transports);

    // Fills `result` (kept alive and untouched by the caller until `done`) and calls `done` on
    // the event loop. With no asynchronous transport, `done` runs before this returns.
    void async_find_all(driver::found_device_map& result, std::function<void()>&& done);

    // Calls `callback` once with the device found under exactly `serial`, or an empty pointer.
    void async_find(const std::string& serial,
                    std::function<void(std::unique_ptr<driver::weak_device_driver>)>&& callback);

private:
    logger log{boost::log::keywords::channel = "finder"};
    boost::asio::io_context& io;
    std::chrono::milliseconds window;
    std::optional<transport_set> fixed_transports;
};

}  // namespace kestd
