#include "landing/landing.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <string>

#include "common/printable.hpp"
#include "common/scope_exit.hpp"
#include "common/tokens.hpp"
#include "common/version.hpp"

namespace kestd {

namespace asio = boost::asio;
using boost::asio::ip::udp;

landing::landing(transport_set transports, session_factory make_session)
    : socket(io, udp::endpoint(asio::ip::make_address_v4(address), port)),
      receive_buffer(buffer_size, 0),
      send_buffer(buffer_size, 0),
      finder(io, find_window, std::move(transports)),
      make_session(std::move(make_session)) {
    if (!this->make_session) {
        this->make_session = [this](const std::string& serial) {
            return std::make_unique<device>(serial, finder.transports());
        };
    }
}

landing::~landing() {
    // Sessions go first (each joins its thread), while the socket and loop still exist.
    devices.clear();
}

void landing::queue_read() {
    // One byte short of the buffer, so the terminating zero always fits.
    socket.async_receive_from(asio::buffer(receive_buffer.data(), receive_buffer.size() - 1), peer,
                              [this](const boost::system::error_code& ec, std::size_t size) {
                                  handle_receive(ec, size);
                              });
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
    try {
        finder.async_find_all(
            [this](driver::found_device_map found) { handle_find_complete(std::move(found)); });
    } catch (const std::exception& e) {
        // No run: the requesters get the sessions as they are, and the next request tries again.
        KESTD_LOG(log, error) << "find failed: " << e.what();
        const scope_exit end_of_run([this] { waiting.clear(); });
        answer_waiting(device_list());
    }
}

void landing::handle_find_complete(driver::found_device_map found) {
    // Whatever fails here, the next request must be able to start a run of its own.
    const scope_exit end_of_run([this] { waiting.clear(); });
    remove_stale_devices(found);
    add_new_devices(found);
    answer_waiting(device_list());
}

void landing::answer_waiting(const std::string& list) {
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
}

void landing::remove_stale_devices(const driver::found_device_map& found) {
    for (auto it = devices.begin(); it != devices.end();) {
        if (it->second->clients_attached() == 0 && !found.contains(it->first)) {
            KESTD_LOG(log, info) << "removing device " << printable(it->first)
                                 << ", no longer found";
            reaper.retire(std::move(it->second));
            it = devices.erase(it);
        } else {
            ++it;
        }
    }
}

void landing::add_new_devices(const driver::found_device_map& found) {
    std::size_t refused = 0;
    for (const auto& entry : found) {
        const std::string& serial = entry.first;
        if (devices.contains(serial)) continue;
        if (devices.size() >= max_devices) {
            ++refused;
            continue;
        }
        try {
            devices.emplace(serial, make_session(serial));
        } catch (const std::exception& e) {
            // Listed devices and the other requesters must not suffer for one session.
            KESTD_LOG(log, error) << "unable to create device " << printable(serial) << ": "
                                  << e.what();
        }
    }
    if (refused > 0) {
        KESTD_LOG(log, warning) << "too many devices, " << refused << " not listed";
    }
}

std::string landing::device_list() {
    std::string list;
    std::size_t left_out = 0;
    for (const auto& [serial, session] : devices) {
        const auto endpoint = session->rpc_endpoint();
        std::string line =
            serial + " " + endpoint.address().to_string() + " " + std::to_string(endpoint.port());
        if (list.size() + !list.empty() + line.size() > max_list_size) {
            ++left_out;
            continue;
        }
        if (!list.empty()) list += '\n';
        list += line;
    }
    if (left_out > 0) {
        KESTD_LOG(log, warning) << "device list too long for one datagram, " << left_out
                                << " devices left out";
    }
    return list;
}

}  // namespace kestd
