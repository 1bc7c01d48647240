#include "driver/serial_port/serial_port_log.hpp"

namespace kestd::driver::serial_port {

logger& serial_port_log() {
    static logger log(boost::log::keywords::channel = "serial_port");
    return log;
}

}  // namespace kestd::driver::serial_port
