#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "driver/weak_device_driver.hpp"
#include "finder/transport_set.hpp"

namespace kestd {

// One discovery run. Each asynchronous transport holds a keep-alive token; when the last
// reference goes, the merged results are handed to `done` in a handler posted to the loop,
// so a run completes exactly once, never inside the call that started it.
class active_finder : public std::enable_shared_from_this<active_finder> {
public:
    using done_handler = std::function<void(driver::found_device_map)>;

    // Most devices one run reports. Local transports merge first, so a flood of network
    // answers cannot crowd out a device on this machine.
    static constexpr std::size_t max_found = 256;

    // With `only`, the run reports that serial alone (and no limit applies to it).
    active_finder(boost::asio::io_context& io, done_handler&& done,
                  std::optional<std::string> only = std::nullopt);
    ~active_finder();
    active_finder(const active_finder&) = delete;
    active_finder& operator=(const active_finder&) = delete;

    // Starts the transports of the set. A transport that throws is logged and contributes
    // what it found until then; nothing escapes.
    void start(std::chrono::milliseconds window, const transport_set& transports);

private:
    std::function<void()> keep_alive_token();
    void start_async(const char* name, const transport_set::async_find& find,
                     std::chrono::milliseconds window, driver::found_device_map& into);
    void run_sync(const char* name, const transport_set::sync_find& find,
                  driver::found_device_map& into);
    driver::found_device_map merge();

    boost::asio::io_context& io;
    driver::found_device_map serial_port_found;
    driver::found_device_map dxx_found;
    driver::found_device_map tcp_found;
    driver::found_device_map cab_found;
    done_handler done;
    std::optional<std::string> only;
};

}  // namespace kestd
