#include "driver/serial_port/find_devices.hpp"

#include "driver/serial_port/port_enumeration.hpp"
#include "driver/serial_port/port_rule.hpp"

namespace kestd::driver::serial_port {

void find_devices(driver::found_device_map& found) {
    const std::string prefix = instance_id_prefix();
    for (const auto& port : list_usb_serial_ports()) {
        consider_port(found, port.instance_id, port.port_name, prefix);
    }
}

}  // namespace kestd::driver::serial_port
