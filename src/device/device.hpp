#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/logger.hpp"
#include "driver/driver_base.hpp"
#include "finder/finder.hpp"

namespace kestd {

class client_state;

// The session of one serial number: its own event loop and thread, an RPC endpoint, and,
// while open, the driver and the clients sharing it. Handlers hold the device by plain
// pointer; the destructor stops and joins the loop before any member goes.
class device {
public:
    static constexpr std::size_t read_buffer_size = 2 * 1024 * 1024;
    static constexpr std::size_t rpc_buffer_size = 2048;
    static constexpr std::size_t max_find_retries = 10;
    static constexpr std::chrono::milliseconds find_window{10};
    static constexpr std::chrono::seconds accept_timeout{1};
    // Bounds the locks and stored values clients can pile up while a device stays open.
    static constexpr std::size_t max_shared_entries = 65536;
    // Clients one device serves at once, counting open replies not yet connected to; each
    // holds a 2 MiB buffer.
    static constexpr std::size_t max_clients = 32;

    // Binds the RPC socket and starts the worker thread; throws when either fails. The
    // device is looked for with `transports`.
    device(const std::string& serial, transport_set transports);
    ~device();
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // Safe from any thread: fixed once the socket is bound.
    const boost::asio::ip::udp::endpoint& rpc_endpoint() const { return rpc_local; }
    std::size_t clients_attached() const { return client_count.load(); }

private:
    // Lifecycle: find, open, the open reply and its one-shot listener.
    void queue_async_find();
    void handle_find(std::unique_ptr<driver::weak_device_driver> found);
    void fail_open(std::string_view reason);
    void respond_open();
    void queue_accept(std::shared_ptr<boost::asio::ip::tcp::acceptor> acceptor);
    void send_response(std::size_t size);
    void reply(std::string_view text);

    // RPC commands.
    void queue_rpc_read();
    void handle_rpc(const boost::system::error_code& ec, std::size_t size);
    void dispatch(const std::vector<std::string_view>& tokens);
    void rpc_open();
    void rpc_close(const std::vector<std::string_view>& tokens);
    void rpc_lock(const std::vector<std::string_view>& tokens);
    void rpc_unlock(const std::vector<std::string_view>& tokens);
    void rpc_load(const std::vector<std::string_view>& tokens);
    void rpc_store(const std::vector<std::string_view>& tokens);
    void reject(std::string_view warning);

    // Clients and relay.
    void add_client(boost::asio::ip::tcp::socket socket);
    void remove_client(const std::shared_ptr<client_state>& client);
    void prune();
    void close();
    void close_driver();
    void queue_read();
    void handle_read(const boost::system::error_code& ec, std::size_t size);
    void queue_write(const std::shared_ptr<client_state>& client);
    void write_next();
    void release_client(client_state& client);

    logger log{boost::log::keywords::channel = "device"};
    std::string serial;
    boost::asio::io_context io;
    std::shared_ptr<driver::driver_base> driver;
    boost::asio::ip::udp::socket rpc_socket;
    boost::asio::ip::udp::endpoint rpc_local;
    std::unordered_set<std::shared_ptr<client_state>> clients;
    std::atomic<std::size_t> client_count{0};
    std::vector<std::uint8_t> read_buffer;
    // Clients whose chunk waits for the device, in the order read; the front one is being
    // written. One write at a time keeps every chunk whole on the device's stream.
    std::deque<std::shared_ptr<client_state>> write_queue;
    std::thread worker;
    boost::asio::ip::udp::endpoint rpc_peer;
    std::vector<std::uint8_t> rpc_receive_buffer;
    std::vector<char> rpc_send_buffer;
    kestd::finder finder;
    std::size_t find_retries = 0;
    // One-shot listeners whose accept has not completed yet.
    std::size_t pending_accepts = 0;
    std::unordered_map<std::string, boost::asio::steady_timer> locks;
    std::unordered_map<std::string, std::string> store;
};

}  // namespace kestd
