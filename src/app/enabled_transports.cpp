#include "app/enabled_transports.hpp"

#include "driver/serial_port/find_devices.hpp"
#include "driver/tcp/find_devices.hpp"

namespace kestd {

transport_set enabled_transports(const config& cfg) {
    transport_set set;
    if (cfg.serial_port) set.serial_port = driver::serial_port::find_devices;
    if (cfg.tcp) set.tcp = driver::tcp::async_find_devices;
    return set;
}

}  // namespace kestd
