// Device lifecycle: construction, find and open, the open reply and its one-shot listener.
#include "device/device.hpp"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>
#include <cstdio>
#include <stdexcept>

#include "common/printable.hpp"
#include "device/client_state.hpp"

namespace kestd {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {
const auto loopback = asio::ip::make_address_v4("127.0.0.1");
}

device::device(const std::string& serial, transport_set transports)
    : serial(serial),
      rpc_socket(io, udp::endpoint(loopback, 0)),
      rpc_local(rpc_socket.local_endpoint()),
      rpc_receive_buffer(rpc_buffer_size, 0),
      rpc_send_buffer(rpc_buffer_size, 0),
      finder(io, find_window, std::move(transports)) {
    KESTD_LOG(log, debug) << "device constructed";
    queue_rpc_read();
    KESTD_LOG(log, debug) << "RPC endpoint: " << rpc_local.address().to_string() << ":"
                          << rpc_local.port();
    worker = std::thread([this] { io.run(); });
}

device::~device() {
    KESTD_LOG(log, debug) << "device destroyed";
    io.stop();
    if (worker.joinable()) worker.join();
}

void device::queue_async_find() {
    KESTD_LOG(log, debug) << "queueing async find for device " << serial;
    try {
        finder.async_find(serial, [this](std::unique_ptr<driver::weak_device_driver> found) {
            handle_find(std::move(found));
        });
    } catch (const std::exception& e) {
        // No run could start, so no completion will come: the request is answered here.
        fail_open(e.what());
    }
}

void device::handle_find(std::unique_ptr<driver::weak_device_driver> found) {
    KESTD_LOG(log, debug) << "find complete, processing";
    try {
        if (!found) {
            if (find_retries >= max_find_retries) throw std::runtime_error("device not found");
            ++find_retries;
            KESTD_LOG(log, debug) << "device not found, retrying " << find_retries << "/"
                                  << max_find_retries;
            queue_async_find();
            return;
        }
        KESTD_LOG(log, debug) << "device found (" << found->name() << "), opening";
        driver = found->open(io);
        read_buffer.resize(read_buffer_size);
        respond_open();
    } catch (const std::exception& e) {
        // A device opened for a reply that never went out has nobody to serve.
        if (driver && clients.empty() && pending_accepts == 0) close_driver();
        fail_open(e.what());
    }
}

void device::fail_open(std::string_view reason) {
    KESTD_LOG(log, error) << "unable to open driver: " << reason;
    reply("0");
}

void device::respond_open() {
    KESTD_LOG(log, debug) << "device opened, sending response";
    auto acceptor = std::make_shared<tcp::acceptor>(io, tcp::endpoint(loopback, 0), true);
    const auto local = acceptor->local_endpoint();
    const int size = std::snprintf(rpc_send_buffer.data(), rpc_send_buffer.size(), "%s %d",
                                   local.address().to_string().c_str(), local.port());
    queue_accept(std::move(acceptor));
    send_response(static_cast<std::size_t>(size));
}

void device::queue_accept(std::shared_ptr<tcp::acceptor> acceptor) {
    // Whichever finishes first, the connection or the timer, releases the other.
    auto timer = std::make_shared<asio::steady_timer>(io, accept_timeout);
    ++pending_accepts;
    timer->async_wait([this, acceptor](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted) {
            KESTD_LOG(log, debug) << "accept timer cancelled";
            return;
        }
        KESTD_LOG(log, debug) << "accept timeout";
        // Another client's open reply may still be waiting for its connection; closing the
        // device under it would break a promise already made. The last listener prunes.
        if (pending_accepts <= 1) prune();
    });
    acceptor->async_accept([this, timer](const boost::system::error_code& ec, tcp::socket socket) {
        --pending_accepts;
        if (ec == asio::error::operation_aborted) {
            KESTD_LOG(log, debug) << "accept timeout";
            return;
        }
        if (ec) {
            KESTD_LOG(log, error) << "accept error: " << ec.message();
            return;
        }
        add_client(std::move(socket));
    });
}

void device::reply(std::string_view text) {
    const std::size_t size = std::min(text.size(), rpc_send_buffer.size());
    std::copy_n(text.data(), size, rpc_send_buffer.data());
    send_response(size);
}

void device::send_response(std::size_t size) {
    KESTD_LOG(log, debug) << "send: '" << printable({rpc_send_buffer.data(), size}) << "'";
    rpc_socket.async_send_to(asio::buffer(rpc_send_buffer.data(), size), rpc_peer,
                             [this](const boost::system::error_code& ec, std::size_t) {
                                 if (ec) {
                                     KESTD_LOG(log, warning)
                                         << "RPC write error: " << ec.to_string();
                                 }
                                 queue_rpc_read();
                             });
}

}  // namespace kestd
