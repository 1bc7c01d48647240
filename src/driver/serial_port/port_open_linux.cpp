#include <sys/file.h>
#include <sys/ioctl.h>

#include <boost/system/system_error.hpp>
#include <cerrno>

#include "driver/serial_port/port_open.hpp"

namespace kestd::driver::serial_port {

namespace {

boost::system::error_code last_error() { return {errno, boost::system::system_category()}; }

}  // namespace

void open_port(boost::asio::serial_port& port, const std::string& port_name) {
    using sp = boost::asio::serial_port_base;
    boost::system::error_code ec;
    // Asio opens non-blocking without a controlling terminal and puts the line in raw mode.
    port.open(port_name, ec);
    if (ec) throw boost::system::system_error(ec, "open");

    bool exclusive = false;
    const auto fail = [&](boost::system::error_code why) {
        // The exclusive flag outlives the descriptor (see close_port); a failed open must not
        // leave the port closed to everyone else.
        if (exclusive) ::ioctl(port.native_handle(), TIOCNXCL);
        boost::system::error_code ignored;
        port.close(ignored);
        throw boost::system::system_error(why, "open");
    };
    const int fd = port.native_handle();
    // Another kestd (even one running as root, which TIOCEXCL does not stop) holds the lock;
    // TIOCEXCL keeps other ordinary programs from opening the port behind our back.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fail(errno == EWOULDBLOCK
                 ? boost::system::error_code(EBUSY, boost::system::system_category())
                 : last_error());
    }
    if (::ioctl(fd, TIOCEXCL) != 0) fail(last_error());
    exclusive = true;

    port.set_option(sp::baud_rate(9600), ec);
    if (!ec) port.set_option(sp::character_size(8), ec);
    if (!ec) port.set_option(sp::parity(sp::parity::none), ec);
    if (!ec) port.set_option(sp::stop_bits(sp::stop_bits::one), ec);
    if (!ec) port.set_option(sp::flow_control(sp::flow_control::none), ec);
    if (ec) fail(ec);
}

}  // namespace kestd::driver::serial_port

namespace kestd::driver::serial_port {

// The tty line discipline buffers 4 KiB: a read never returns more, and asking for more only
// costs (umockdev's preload, for one, works in proportion to the length asked for).
std::size_t read_piece_size() { return 4096; }

void close_port(boost::asio::serial_port& port, boost::system::error_code& ec) {
    // The exclusive flag belongs to the tty, not to this descriptor: a pty (a simulated
    // port) keeps it after the close unless it is cleared.
    if (port.is_open()) ::ioctl(port.native_handle(), TIOCNXCL);
    port.close(ec);
}

}  // namespace kestd::driver::serial_port
