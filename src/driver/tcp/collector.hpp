#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "driver/tcp/collector_socket.hpp"
#include "driver/weak_device_driver.hpp"

namespace kestd::driver::tcp {

// One discovery run: its listeners and the window after which they close and `done` runs.
class collector : public std::enable_shared_from_this<collector> {
public:
    collector(boost::asio::io_context& io, std::chrono::milliseconds window,
              found_device_map& found, std::function<void()>&& done);

    void add(std::shared_ptr<collector_socket> socket);
    void start_timer();

private:
    void on_timer(const boost::system::error_code& ec);
    void close_sockets();

    std::vector<std::shared_ptr<collector_socket>> sockets;
    found_device_map* found;
    std::function<void()> done;
    boost::asio::steady_timer timer;
};

}  // namespace kestd::driver::tcp
