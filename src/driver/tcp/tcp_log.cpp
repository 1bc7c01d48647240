#include "driver/tcp/tcp_log.hpp"

namespace kestd::driver::tcp {

logger& tcp_log() {
    static logger log(boost::log::keywords::channel = "tcp");
    return log;
}

}  // namespace kestd::driver::tcp
