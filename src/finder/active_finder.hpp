#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>

#include "driver/weak_device_driver.hpp"
#include "finder/transport_set.hpp"

namespace kestd {

// One discovery run. Each asynchronous transport holds a keep-alive token; when the last
// reference goes, the results are merged into the caller's map and `done` is called.
class active_finder : public std::enable_shared_from_this<active_finder> {
public:
    active_finder(driver::found_device_map& result, std::function<void()>&& done);
    ~active_finder();
    active_finder(const active_finder&) = delete;
    active_finder& operator=(const active_finder&) = delete;

    void start(boost::asio::io_context& io, std::chrono::milliseconds window,
               const transport_set& transports);

private:
    std::function<void()> keep_alive_token();
    void merge_and_notify();

    driver::found_device_map serial_port_found;
    driver::found_device_map dxx_found;
    driver::found_device_map tcp_found;
    driver::found_device_map cab_found;
    driver::found_device_map& result;
    std::function<void()> done;
};

}  // namespace kestd
