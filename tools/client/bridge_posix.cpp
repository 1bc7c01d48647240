// The bridge on POSIX descriptors: pipes, terminals, sockets and plain files alike.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include "client/bridge.hpp"

namespace kest {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Large enough that a fast device or a big file moves in few system calls.
constexpr std::size_t buffer_size = 256 * 1024;

// Asio makes descriptors non-blocking, and that flag belongs to the open file, which the
// shell and the rest of a pipeline share; it goes back as it was.
class file_flags_guard {
public:
    explicit file_flags_guard(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {}
    ~file_flags_guard() {
        if (flags_ != -1) ::fcntl(fd_, F_SETFL, flags_);
    }
    file_flags_guard(const file_flags_guard&) = delete;
    file_flags_guard& operator=(const file_flags_guard&) = delete;

private:
    int fd_;
    int flags_;
};

// A descriptor of our own for the same open file, so closing it leaves the caller's alone.
int duplicate(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        throw std::system_error(errno, std::generic_category(), "descriptor " + std::to_string(fd));
    }
    return copy;
}

// The same connection, served by `io`.
tcp::socket adopt(asio::io_context& io, tcp::socket connection) {
    const auto protocol = connection.local_endpoint().protocol();
    return tcp::socket(io, protocol, connection.release());
}

bool peer_closed(const error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::broken_pipe;
}

class bridge_session {
public:
    bridge_session(asio::io_context& io, int input_fd, int output_fd, tcp::socket connection,
                   bridge_options options)
        : input_(io, duplicate(input_fd)),
          output_(io, duplicate(output_fd)),
          connection_(adopt(io, std::move(connection))),
          signals_(io),
          watch_signals_(options.stop_on_termination_signals),
          to_connection_(buffer_size),
          to_output_(buffer_size) {
        if (watch_signals_) {
            signals_.add(SIGINT);
            signals_.add(SIGTERM);
            signals_.add(SIGHUP);
        }
    }

    void start() {
        read_input();
        read_connection();
        if (watch_signals_) {
            signals_.async_wait([this](const error_code& ec, int number) {
                if (!ec && !result_) finish({bridge_end::signal, number, {}});
            });
        }
    }

    bridge_result result() const {
        return result_.value_or(bridge_result{bridge_end::failed, 0, "bridge ended early"});
    }

private:
    void read_input() {
        input_.async_read_some(
            asio::buffer(to_connection_),
            [this](const error_code& ec, std::size_t size) { on_input(ec, size); });
    }

    void on_input(const error_code& ec, std::size_t size) {
        if (result_) return;
        if (ec == asio::error::eof) {
            // The server sees the end of what we send and may go on answering.
            error_code ignored;
            connection_.shutdown(tcp::socket::shutdown_send, ignored);
            return;
        }
        if (ec) return fail("input", ec);
        asio::async_write(connection_, asio::buffer(to_connection_.data(), size),
                          [this](const error_code& ec, std::size_t) {
                              if (result_) return;
                              // The reading side sees the server go and ends the bridge.
                              if (peer_closed(ec)) return;
                              if (ec) return fail("connection", ec);
                              read_input();
                          });
    }

    void read_connection() {
        connection_.async_read_some(
            asio::buffer(to_output_),
            [this](const error_code& ec, std::size_t size) { on_connection(ec, size); });
    }

    void on_connection(const error_code& ec, std::size_t size) {
        if (result_) return;
        if (peer_closed(ec)) return finish({bridge_end::connection_closed, 0, {}});
        if (ec) return fail("connection", ec);
        asio::async_write(output_, asio::buffer(to_output_.data(), size),
                          [this](const error_code& ec, std::size_t) {
                              if (result_) return;
                              if (ec == asio::error::broken_pipe) {
                                  return finish({bridge_end::output_closed, 0, {}});
                              }
                              if (ec) return fail("output", ec);
                              read_connection();
                          });
    }

    void fail(const char* side, const error_code& ec) {
        finish({bridge_end::failed, 0, std::string(side) + ": " + ec.message()});
    }

    // Closing everything cancels what is still pending, and run() runs out of work.
    void finish(bridge_result result) {
        result_ = std::move(result);
        error_code ignored;
        input_.close(ignored);
        output_.close(ignored);
        connection_.close(ignored);
        signals_.cancel(ignored);
    }

    asio::posix::stream_descriptor input_;
    asio::posix::stream_descriptor output_;
    tcp::socket connection_;
    asio::signal_set signals_;
    bool watch_signals_;
    std::vector<char> to_connection_;
    std::vector<char> to_output_;
    std::optional<bridge_result> result_;
};

}  // namespace

bridge_result bridge(int input_fd, int output_fd, tcp::socket connection, bridge_options options) {
    ::signal(SIGPIPE, SIG_IGN);
    const file_flags_guard input_flags(input_fd);
    const file_flags_guard output_flags(output_fd);
    asio::io_context io;
    bridge_session session(io, input_fd, output_fd, std::move(connection), options);
    session.start();
    io.run();
    return session.result();
}

}  // namespace kest
