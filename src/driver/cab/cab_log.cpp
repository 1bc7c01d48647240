#include "driver/cab/cab_log.hpp"

namespace kestd::driver::cab {

logger& cab_log() {
    static logger log(boost::log::keywords::channel = "cab");
    return log;
}

}  // namespace kestd::driver::cab
