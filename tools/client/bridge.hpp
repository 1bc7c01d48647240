#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string>

namespace kest {

enum class bridge_end {
    connection_closed,  // the server closed (or reset) the connection: the normal end
    output_closed,      // nobody reads the output any more
    signal,             // one of the stop signals arrived
    failed,             // an I/O error; see bridge_result::error
};

struct bridge_result {
    bridge_end end = bridge_end::connection_closed;
    int signal_number = 0;  // for bridge_end::signal
    std::string error;      // for bridge_end::failed: which side, and why
};

struct bridge_options {
    // End early on SIGINT, SIGTERM and SIGHUP, so the descriptors' modes are still put back.
    bool stop_on_termination_signals = false;
};

// Copies `input_fd` to the connection and the connection to `output_fd`, both at once, until
// the connection ends. At the end of the input, shuts down the connection's sending side and
// keeps copying the other way. The descriptors stay open and are left in the blocking mode
// they had; the connection is closed. Ignores SIGPIPE for the whole process, so a closed
// output ends the bridge rather than the process.
bridge_result bridge(int input_fd, int output_fd, boost::asio::ip::tcp::socket connection,
                     bridge_options options = {});

}  // namespace kest
