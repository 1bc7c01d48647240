// Device RPC commands: one request at a time, each answered to its sender.
#include <boost/asio/ip/address_v4.hpp>
#include <charconv>
#include <optional>

#include "common/printable.hpp"
#include "common/tokens.hpp"
#include "device/client_state.hpp"
#include "device/device.hpp"

namespace kestd {

namespace asio = boost::asio;

namespace {

// A decimal int from the token's leading digits (an optional sign first); the rest of the
// token is ignored. Nothing when there are no digits or the number does not fit an int.
std::optional<int> leading_int(std::string_view token) {
    if (token.starts_with('+')) token.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec != std::errc()) return std::nullopt;
    return value;
}

}  // namespace

void device::queue_rpc_read() {
    rpc_socket.async_receive_from(
        asio::buffer(rpc_receive_buffer), rpc_peer,
        [this](const boost::system::error_code& ec, std::size_t size) { handle_rpc(ec, size); });
}

void device::handle_rpc(const boost::system::error_code& ec, std::size_t size) {
    if (ec) {
        if (ec == asio::error::operation_aborted) return;  // the device is going away
        KESTD_LOG(log, warning) << "RPC receive error: " << ec.to_string();
        queue_rpc_read();
        return;
    }
    if (size == 0) {
        queue_rpc_read();
        return;
    }
    const std::string_view text(reinterpret_cast<const char*>(rpc_receive_buffer.data()), size);
    KESTD_LOG(log, debug) << "recv: '" << printable(text) << "'";
    dispatch(split_tokens(text));
}

void device::dispatch(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 2) return reject("invalid RPC request, missing command");
    const std::string_view command = tokens[1];
    if (command == "open") return rpc_open();
    if (command == "close") return rpc_close(tokens);
    if (command == "lock") return rpc_lock(tokens);
    if (command == "unlock") return rpc_unlock(tokens);
    if (command == "load") return rpc_load(tokens);
    if (command == "store") return rpc_store(tokens);
    KESTD_LOG(log, warning) << "unknown device RPC command: " << printable(command);
    queue_rpc_read();
}

void device::reject(std::string_view warning) {
    KESTD_LOG(log, warning) << warning;
    reply("0");
}

void device::rpc_open() {
    if (!driver) {
        find_retries = 0;
        queue_async_find();
        return;
    }
    if (clients.size() + pending_accepts >= max_clients) {
        return reject("too many clients, open refused");
    }
    try {
        respond_open();
    } catch (const std::exception& e) {
        fail_open(e.what());
    }
}

void device::rpc_close(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 4) return reject("invalid close command, missing endpoint argument");
    const auto port = leading_int(tokens[3]);
    if (!port) {
        return reject("invalid endpoint in close command: port '" + printable(tokens[3]) +
                      "' is not a decimal number");
    }
    boost::system::error_code ec;
    const auto address = asio::ip::make_address_v4(std::string(tokens[2]), ec);
    if (ec) return reject("invalid endpoint in close command: " + ec.message());
    const asio::ip::tcp::endpoint wanted(address, static_cast<std::uint16_t>(*port & 0xffff));

    for (const auto& client : clients) {
        // A client whose endpoint cannot be read is not the one named; it is left alone.
        const auto remote = client->socket.remote_endpoint(ec);
        if (ec || remote != wanted) continue;
        const auto found = client;  // remove_client erases it from the set being walked
        remove_client(found);
        reply("1");
        return;
    }
    reply("0");
}

void device::rpc_lock(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 4) return reject("invalid lock command, missing argument");
    const auto milliseconds = leading_int(tokens[3]);
    if (!milliseconds) {
        return reject("invalid lock duration: " + printable(tokens[3]));
    }
    std::string name(tokens[2]);
    if (locks.size() >= max_shared_entries && !locks.contains(name)) {
        return reject("too many locks, lock not taken");
    }
    auto [it, inserted] = locks.try_emplace(name, io);
    if (!inserted) {
        reply("0");
        return;
    }
    it->second.expires_after(std::chrono::milliseconds(*milliseconds));
    it->second.async_wait([this, name](const boost::system::error_code& ec) {
        if (ec) return;  // unlocked, or the device closed
        KESTD_LOG(log, debug) << "lock expired for " << printable(name);
        locks.erase(name);
    });
    reply("1");
}

void device::rpc_unlock(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 3) return reject("invalid unlock command, missing name argument");
    if (locks.erase(std::string(tokens[2])) == 0) {
        KESTD_LOG(log, warning) << "unlock failed for " << printable(tokens[2]);
        reply("0");
        return;
    }
    reply("1");
}

void device::rpc_load(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 3) return reject("invalid load command, missing key argument");
    // A key never stored reads as empty; looking it up adds nothing to the store.
    const auto it = store.find(std::string(tokens[2]));
    const std::string& value = it == store.end() ? std::string() : it->second;
    KESTD_LOG(log, debug) << "load: '" << printable(tokens[2]) << "', value: '" << printable(value)
                          << "'";
    reply(value);
}

void device::rpc_store(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 4) return reject("invalid store command, missing argument");
    if (store.size() >= max_shared_entries && !store.contains(std::string(tokens[2]))) {
        return reject("store full, value not stored");
    }
    std::string& value = store[std::string(tokens[2])];
    value = tokens[3];
    KESTD_LOG(log, debug) << "store: '" << printable(tokens[2]) << "', value: '" << printable(value)
                          << "'";
    reply("1");
}

}  // namespace kestd
