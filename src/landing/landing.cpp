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
      send_buffer(buffer_size, 0) {}

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
    waiting.push_back(peer);
    if (waiting.size() == 1) start_find();
}

void landing::start_find() {
    // No transport exists yet, so discovery finds nothing and completes at once, as a run
    // with only synchronous transports does.
    handle_find_complete();
}

void landing::handle_find_complete() {
    const std::string list;  // one "serial address port" line per device session
    for (const auto& requester : waiting) {
        KESTD_LOG(log, debug) << "finder send: " << requester.address().to_string() << ":"
                              << requester.port() << ": '" << list << "'";
        boost::system::error_code ec;
        socket.send_to(asio::buffer(list), requester, 0, ec);
        if (ec) KESTD_LOG(log, warning) << "finder send error: " << ec.to_string();
    }
    waiting.clear();
}

}  // namespace kestd
