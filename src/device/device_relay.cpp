// Clients and the relay: every byte from the device to every client, every client's bytes
// to the device.
#include <boost/log/utility/manipulators/dump.hpp>

#include "device/client_state.hpp"
#include "device/device.hpp"

namespace kestd {

namespace asio = boost::asio;
using asio::ip::tcp;

void device::add_client(tcp::socket socket) {
    if (!driver) {
        // Its device closed between the open reply and this connection (the other clients
        // left, or the driver failed): a closed device has nothing to relay.
        KESTD_LOG(log, warning) << "device closed before client attached, refusing connection";
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    std::shared_ptr<client_state> client;
    try {
        client = std::make_shared<client_state>(std::move(socket));
    } catch (const std::exception& e) {
        KESTD_LOG(log, error) << "unable to attach client: " << e.what();
        prune();  // this connection may have been the open's only prospect
        return;
    }
    ++client_count;
    clients.insert(client);
    if (clients.size() == 1) queue_read();
    queue_write(client);
    KESTD_LOG(log, debug) << "added client, now " << clients.size();
}

void device::release_client(client_state& client) {
    if (client.dropped > 0) {
        KESTD_LOG(log, warning) << "client dropped " << client.dropped << " bytes";
    }
    boost::system::error_code ignored;
    client.socket.close(ignored);
    KESTD_LOG(log, debug) << "client removed";
}

void device::remove_client(const std::shared_ptr<client_state>& client) {
    // Only a removal can make the device idle; a client already gone (its read failing
    // after the device closed) must not close a device that has been opened again since.
    if (clients.erase(client) == 0) return;
    --client_count;
    release_client(*client);
    prune();
}

void device::prune() {
    if (!clients.empty()) return;
    KESTD_LOG(log, debug) << "no clients remaining, pruning";
    close();
}

void device::close() {
    for (const auto& client : clients) release_client(*client);
    client_count = 0;
    clients.clear();
    close_driver();
    locks.clear();
    store.clear();
}

void device::close_driver() {
    // Chunks not yet written have no device to go to; a write in flight completes with an
    // error on the closed driver and finds it replaced.
    write_queue.clear();
    if (driver) {
        KESTD_LOG(log, debug) << "driver closed";
        driver->close();
        driver.reset();
    }
    read_buffer.resize(0);
}

void device::queue_read() {
    driver->async_read(
        asio::buffer(read_buffer),
        [this, from = driver](const boost::system::error_code& ec, std::size_t size) {
            // A completion of a driver closed since (and maybe replaced by a
            // new open) must not touch the current one or its clients.
            if (from != driver) {
                if (ec) KESTD_LOG(log, debug) << "driver read error: " << ec.to_string();
                return;
            }
            handle_read(ec, size);
        });
}

void device::handle_read(const boost::system::error_code& ec, std::size_t size) {
    if (ec) {
        KESTD_LOG(log, warning) << "driver read error: " << ec.to_string();
        close();
        return;
    }
    KESTD_LOG(log, trace) << "> " << boost::log::dump(read_buffer.data(), size);

    // One non-blocking send per client: a client that cannot keep up loses what its socket
    // cannot take, and never holds up the device or the others.
    std::vector<std::shared_ptr<client_state>> failed;
    for (const auto& client : clients) {
        boost::system::error_code send_ec;
        const std::size_t sent =
            client->socket.send(asio::buffer(read_buffer.data(), size), 0, send_ec);
        if (!send_ec || send_ec == asio::error::would_block) {
            // A partial send loses the rest just as a full socket does.
            client->dropped += size - (send_ec ? 0 : sent);
        } else {
            KESTD_LOG(log, error) << "client write error: " << send_ec.to_string();
            failed.push_back(client);
        }
    }
    for (const auto& client : failed) remove_client(client);
    if (driver) queue_read();
}

void device::queue_write(const std::shared_ptr<client_state>& client) {
    client->socket.async_read_some(
        asio::buffer(client->buffer),
        [this, client](const boost::system::error_code& ec, std::size_t size) {
            if (ec) {
                KESTD_LOG(log, warning) << "client read error: " << ec.to_string();
                remove_client(client);
                return;
            }
            if (!driver) {
                KESTD_LOG(log, warning) << "driver was closed after client read completed";
                return;
            }
            KESTD_LOG(log, trace) << "< " << boost::log::dump(client->buffer.data(), size);
            client->pending = size;
            write_queue.push_back(client);
            if (write_queue.size() == 1) write_next();
        });
}

void device::write_next() {
    const auto& client = write_queue.front();
    driver->async_write(
        asio::buffer(client->buffer.data(), client->pending),
        [this, client, to = driver](const boost::system::error_code& ec, std::size_t) {
            if (to != driver) {
                // The device closed meanwhile (and may be open again with a queue of its own).
                if (ec) KESTD_LOG(log, debug) << "driver write error: " << ec.to_string();
                return;
            }
            if (ec) {
                KESTD_LOG(log, error) << "driver write error: " << ec.to_string();
                close();
                return;
            }
            write_queue.pop_front();
            if (!write_queue.empty()) write_next();
            // The client's next bytes are read only now: its TCP window is the flow control
            // toward the device. A client removed meanwhile had its chunk written all the same.
            if (clients.contains(client)) queue_write(client);
        });
}

}  // namespace kestd
