#pragma once

#include <string>
#include <vector>

namespace kestd::driver::serial_port {

struct usb_serial_port {
    // USB\VID_xxxx&PID_yyyy\<serial>, as the system names the USB device behind the port.
    std::string instance_id;
    // What opens the port: a device node (/dev/ttyACM0) or a COM port name (COM7).
    std::string port_name;
};

// The serial ports backed by USB devices that are present now, in a stable order. An
// enumeration failure gives an empty list.
std::vector<usb_serial_port> list_usb_serial_ports();

}  // namespace kestd::driver::serial_port
