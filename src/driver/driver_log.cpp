#include "driver/driver_log.hpp"

namespace kestd::driver {

logger& driver_log() {
    static logger log(boost::log::keywords::channel = "driver");
    return log;
}

}  // namespace kestd::driver
