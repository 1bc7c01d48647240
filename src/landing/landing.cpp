#include "landing/landing.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <string>

#include "app/printable.hpp"
#include "app/version.hpp"
#include "landing/tokens.hpp"

namespace kestd {

namespace asio = boost::asio;
using boost::asio::ip::udp;

landing::landing()
    : socket(io, udp::endpoint(asio::ip::make_address_v4(address), port)),
      receive_buffer(buffer_size, 0),
      send_buffer(buffer_size, 0),
      finder(io, find_window) {}

landing::landing(transport_set transports)
    : socket(io, udp::endpoint(asio::ip::make_address_v4(address), port)),
      receive_buffer(buffer_size, 0),
      send_buffer(buffer_size, 0),
      transports(transports),
      finder(io, find_window, std::move(transports)) {}

landing::~landing() {
    alive.reset();
    // Sessions go first (each joins its thread), while the socket and loop still exist.
    devices.clear();
}

void landing::queue_read() {
    // One byte short of the buffer, so the terminating zero always fits.
    socket.async_receive_from(
        asio::buffer(receive_buffer.data(), receive_buffer.size() - 1), peer,
        [this](const boost::system::error_code& ec, std::size_t size) { handle_receive(ec, size); });
}

void landing::stop() {
    boost::system::error_code ec;
    socket.close(ec);
    if (ec) throw boost::system::system_error(ec, "close");
}

void landing::handle_receive(const boost::system::error_code& ec, std::size_t size) {
    if (ec) {
        if (ec == asio::error::connection_refused || ec == asio::error::connection_reset) {
            // A reply earlier went to a port nobody listened on; the new receive is fine.
            KESTD_LOG(log, warning) << "unable to send, connection error: " << ec.to_string();
            queue_read();
            return;
        }
        KESTD_LOG(log, error) << "receive error: " << ec.to_string();
        if (serving_ended) std::exchange(serving_ended, nullptr)();
        return;
    }

    receive_buffer[size] = 0;
    const std::string_view text = request_text(receive_buffer.data(), size);
    KESTD_LOG(log, debug) << "recv: '" << printable(text) << "'";

    const auto tokens = split_tokens(text);
    if (tokens.size() < 2) {
        KESTD_LOG(log, warning) << "invalid request (less than two args)";
        queue_read();
        return;
    }
    if (tokens[0] != api_version) {
        KESTD_LOG(log, warning) << "invalid version: " << printable(tokens[0]);
        send_buffer[0] = '0';
        send(1);
        return;
    }
    if (tokens[1] == "version") {
        send_buffer[0] = api_version[0];
        send(1);
        return;
    }
    if (tokens[1] == "find") {
        accept_find();
        queue_read();
        return;
    }
    KESTD_LOG(log, warning) << "unknown command: " << printable(tokens[1]);
    queue_read();
}

void landing::send(std::size_t size) {
    send_buffer[size] = 0;
    KESTD_LOG(log, debug) << "send: '" << std::string_view(send_buffer.data(), size) << "'";
    boost::system::error_code ec;
    socket.send_to(asio::buffer(send_buffer.data(), size), peer, 0, ec);
    if (ec) KESTD_LOG(log, warning) << "send error: " << ec.to_string();
    queue_read();
}

void landing::accept_find() {
    if (waiting.size() >= max_waiting) {
        if (dropped_requests++ == 0) {
            KESTD_LOG(log, warning) << "too many waiting find requests, dropping requests";
        }
        return;
    }
    waiting.push_back(peer);
    if (waiting.size() == 1) start_find();
}

void landing::start_find() {
    std::weak_ptr<void> guard = alive;
    try {
        finder.async_find_all(found, [this, guard] {
            if (!guard.expired()) handle_find_complete();
        });
    } catch (const std::exception& e) {
        // A transport failed outright; the requesters still get what the others found.
        KESTD_LOG(log, error) << "find failed: " << e.what();
    }
}

void landing::handle_find_complete() {
    remove_stale_devices();
    add_new_devices();
    const std::string list = device_list();
    for (const auto& requester : waiting) {
        KESTD_LOG(log, debug) << "finder send: " << requester.address().to_string() << ":"
                              << requester.port() << ": '" << printable(list) << "'";
        boost::system::error_code ec;
        socket.send_to(asio::buffer(list), requester, 0, ec);
        if (ec) KESTD_LOG(log, warning) << "finder send error: " << ec.to_string();
    }
    if (dropped_requests > 0) {
        KESTD_LOG(log, warning) << "dropped " << dropped_requests << " find requests";
        dropped_requests = 0;
    }
    waiting.clear();
    found.clear();
}

void landing::remove_stale_devices() {
    for (auto it = devices.begin(); it != devices.end();) {
        if (it->second->clients_attached() == 0 && !found.contains(it->first)) {
            KESTD_LOG(log, info) << "removing device " << printable(it->first)
                                 << ", no longer found";
            it = devices.erase(it);
        } else {
            ++it;
        }
    }
}

void landing::add_new_devices() {
    for (const auto& entry : found) {
        const std::string& serial = entry.first;
        if (devices.contains(serial)) continue;
        try {
            devices.emplace(serial, transports ? std::make_unique<device>(serial, *transports)
                                               : std::make_unique<device>(serial));
        } catch (const std::exception& e) {
            // Listed devices and the other requesters must not suffer for one session.
            KESTD_LOG(log, error) << "unable to create device " << printable(serial) << ": "
                                  << e.what();
        }
    }
}

std::string landing::device_list() const {
    std::string list;
    for (const auto& [serial, session] : devices) {
        const auto endpoint = session->rpc_endpoint();
        if (!list.empty()) list += '\n';
        list += serial + " " + endpoint.address().to_string() + " " +
                std::to_string(endpoint.port());
    }
    return list;
}

}  // namespace kestd
