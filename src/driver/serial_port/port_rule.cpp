#include "driver/serial_port/port_rule.hpp"

#include "common/printable.hpp"
#include "driver/is_valid_serial.hpp"
#include "driver/serial_port/serial_port_log.hpp"
#include "driver/serial_port/weak_serial_port_driver.hpp"

namespace kestd::driver::serial_port {

namespace {
constexpr std::size_t serial_length = 6;
}

std::string instance_id_prefix() { return std::string("USB\\VID_") + KESTD_USB_VENDOR_ID; }

std::optional<std::string> serial_text(std::string_view instance_id, std::string_view prefix) {
    if (!instance_id.starts_with(prefix)) return std::nullopt;
    const auto slash = instance_id.rfind('\\');
    if (slash == std::string_view::npos || instance_id.size() - slash - 1 < serial_length) {
        return std::nullopt;
    }
    return std::string(instance_id.substr(slash + 1, serial_length));
}

void consider_port(driver::found_device_map& found, std::string_view instance_id,
                   const std::string& port_name, std::string_view prefix) {
    const auto serial = serial_text(instance_id, prefix);
    if (!serial) return;
    if (!is_valid_serial(*serial)) {
        KESTD_LOG(serial_port_log(), warning) << "invalid serial: " << printable(*serial);
        return;
    }
    if (port_name.empty() || found.contains(*serial)) return;
    found.emplace(*serial, std::make_unique<weak_serial_port_driver>(port_name));
}

}  // namespace kestd::driver::serial_port
