#include "app/enabled_transports.hpp"

#include "driver/cab/find_devices.hpp"
#include "driver/serial_port/find_devices.hpp"
#include "driver/tcp/find_devices.hpp"

namespace kestd {

transport_set enabled_transports(const config& cfg) {
    transport_set set;
    if (cfg.serial_port) set.serial_port = driver::serial_port::find_devices;
    if (cfg.tcp) set.tcp = driver::tcp::async_find_devices;
    if (cfg.cab) {
        // A run that could not start has dropped `done`, which tells the finder it is over.
        set.cab = [](boost::asio::io_context& io, std::chrono::milliseconds window,
                     driver::found_device_map& found, std::function<void()>&& done) {
            driver::cab::async_find_devices(io, window, found, std::move(done));
        };
    }
    return set;
}

}  // namespace kestd
