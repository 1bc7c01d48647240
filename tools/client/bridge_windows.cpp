// The bridge on Windows: the connection on the event loop, the standard handles (consoles,
// pipes and files, which cannot join an I/O completion port) read and written blocking.
#include <io.h>
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "client/bridge.hpp"

namespace kest {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::size_t buffer_size = 256 * 1024;

HANDLE handle_of(int fd) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::system_error(EBADF, std::generic_category(), "descriptor " + std::to_string(fd));
    }
    return handle;
}

std::string last_error_text() {
    return std::system_category().message(static_cast<int>(::GetLastError()));
}

tcp::socket adopt(asio::io_context& io, tcp::socket connection) {
    const auto protocol = connection.local_endpoint().protocol();
    return tcp::socket(io, protocol, connection.release());
}

bool peer_closed(const error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::connection_aborted || ec == asio::error::broken_pipe;
}

// What the input thread shares with the session. Shared, so a thread left behind on a read
// the system will not cancel never touches a session that is gone.
struct input_state {
    HANDLE input = INVALID_HANDLE_VALUE;
    SOCKET connection = INVALID_SOCKET;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    HANDLE thread = nullptr;  // for cancelling its read
    std::optional<std::string> failure;
    std::promise<void> done;

    ~input_state() {
        if (thread != nullptr) ::CloseHandle(thread);
    }
};

// On its own thread: the input to the connection, with blocking calls on both. Sending on
// a socket while the loop receives on it is safe in Winsock.
void copy_input(const std::shared_ptr<input_state>& state) {
    {
        std::lock_guard lock(state->mutex);
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                          &state->thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    std::vector<char> chunk(buffer_size);
    while (!state->stopping) {
        DWORD size = 0;
        const BOOL ok = ::ReadFile(state->input, chunk.data(), static_cast<DWORD>(chunk.size()),
                                   &size, nullptr);
        if (state->stopping) break;
        if (!ok && ::GetLastError() != ERROR_BROKEN_PIPE) {
            std::lock_guard lock(state->mutex);
            state->failure = "input: " + last_error_text();
            // The loop's receive ends, and with it the bridge.
            ::shutdown(state->connection, SD_BOTH);
            break;
        }
        if (size == 0) {
            // The server sees the end of what we send and may go on answering.
            ::shutdown(state->connection, SD_SEND);
            break;
        }
        for (DWORD sent = 0; sent < size && !state->stopping;) {
            const int n =
                ::send(state->connection, chunk.data() + sent, static_cast<int>(size - sent), 0);
            // A failed send is the server going; the loop's receive sees it and says why.
            if (n == SOCKET_ERROR) {
                state->stopping = true;
                break;
            }
            sent += static_cast<DWORD>(n);
        }
    }
    state->done.set_value();
}

class bridge_session {
public:
    bridge_session(asio::io_context& io, int input_fd, int output_fd, tcp::socket connection,
                   bridge_options options)
        : output_(handle_of(output_fd)),
          connection_(adopt(io, std::move(connection))),
          signals_(io),
          to_output_(buffer_size),
          input_(std::make_shared<input_state>()) {
        input_->input = handle_of(input_fd);
        input_->connection = connection_.native_handle();
        if (options.stop_on_termination_signals) {
            signals_.add(SIGINT);
            signals_.add(SIGTERM);
            signals_.add(SIGBREAK);
        }
    }

    void start() {
        read_connection();
        signals_.async_wait([this](const error_code& ec, int number) {
            if (!ec && !result_) finish({bridge_end::signal, number, {}});
        });
        input_thread_ = std::thread([state = input_] { copy_input(state); });
    }

    // After the loop has ended: the input thread is most likely blocked in a read.
    void stop_input() {
        input_->stopping = true;
        auto done = input_->done.get_future();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
            if (std::chrono::steady_clock::now() > deadline) {
                // A read the system will not cancel; it ends with the process.
                input_thread_.detach();
                break;
            }
            std::lock_guard lock(input_->mutex);
            if (input_->thread != nullptr) ::CancelSynchronousIo(input_->thread);
        }
        if (input_thread_.joinable()) input_thread_.join();
        error_code ignored;
        connection_.close(ignored);
    }

    bridge_result result() const {
        {
            std::lock_guard lock(input_->mutex);
            if (input_->failure) return {bridge_end::failed, 0, *input_->failure};
        }
        return result_.value_or(bridge_result{bridge_end::failed, 0, "bridge ended early"});
    }

private:
    void read_connection() {
        connection_.async_read_some(
            asio::buffer(to_output_),
            [this](const error_code& ec, std::size_t size) { on_connection(ec, size); });
    }

    void on_connection(const error_code& ec, std::size_t size) {
        if (result_) return;
        if (peer_closed(ec)) return finish({bridge_end::connection_closed, 0, {}});
        if (ec) return finish({bridge_end::failed, 0, "connection: " + ec.message()});
        // Blocking: a slow console or pipe holds the device's bytes back, none are lost.
        const char* next = to_output_.data();
        while (size > 0) {
            DWORD written = 0;
            if (!::WriteFile(output_, next, static_cast<DWORD>(size), &written, nullptr)) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) {
                    return finish({bridge_end::output_closed, 0, {}});
                }
                return finish({bridge_end::failed, 0, "output: " + last_error_text()});
            }
            next += written;
            size -= written;
        }
        read_connection();
    }

    // Shutting the connection down ends a send blocked on the input thread; the socket itself
    // is closed only once that thread is done with it.
    void finish(bridge_result result) {
        result_ = std::move(result);
        input_->stopping = true;
        ::shutdown(connection_.native_handle(), SD_BOTH);
        error_code ignored;
        connection_.cancel(ignored);
        signals_.cancel(ignored);
    }

    HANDLE output_;
    tcp::socket connection_;
    asio::signal_set signals_;
    std::vector<char> to_output_;
    std::optional<bridge_result> result_;
    std::shared_ptr<input_state> input_;
    std::thread input_thread_;
};

}  // namespace

bridge_result bridge(int input_fd, int output_fd, tcp::socket connection, bridge_options options) {
    asio::io_context io;
    bridge_session session(io, input_fd, output_fd, std::move(connection), options);
    session.start();
    io.run();
    session.stop_input();
    return session.result();
}

}  // namespace kest
