#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/logger.hpp"
#include "device/device.hpp"
#include "driver/weak_device_driver.hpp"
#include "finder/finder.hpp"

namespace kestd {

// The server's front door: a loopback UDP socket that answers "version" and "find".
// All of its handlers run on the one thread that runs `io`.
class landing {
public:
    static constexpr const char* address = "127.0.0.1";
    static constexpr std::uint16_t port = 26741;
    static constexpr std::size_t buffer_size = 2048;
    static constexpr std::chrono::milliseconds find_window{100};
    // Requesters one discovery run answers at most; a flood beyond that is dropped.
    static constexpr std::size_t max_waiting = 1024;

    // Binds the socket; throws boost::system::system_error ("bind") when the port is taken.
    landing();
    // The same, discovering with the given transports (for the landing and its devices).
    explicit landing(transport_set transports);
    ~landing();
    landing(const landing&) = delete;
    landing& operator=(const landing&) = delete;

    boost::asio::io_context& event_loop() { return io; }

    // Arms the receive of the next request.
    void queue_read();

    // Closes the socket so the pending receive ends and the loop runs out of work.
    // Call on the loop's thread; throws boost::system::system_error ("close").
    void stop();

    // Called once, on the loop's thread, when the landing serves no more requests.
    void on_serving_ended(std::function<void()> callback) { serving_ended = std::move(callback); }

private:
    void handle_receive(const boost::system::error_code& ec, std::size_t size);
    void send(std::size_t size);

    // The find flow: requesters wait in `waiting` for one discovery run.
    void accept_find();
    void start_find();
    void handle_find_complete();
    void remove_stale_devices();
    void add_new_devices();
    std::string device_list() const;

    logger log{boost::log::keywords::channel = "landing"};
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
    std::vector<char> receive_buffer;
    std::vector<char> send_buffer;
    boost::asio::ip::udp::endpoint peer;
    std::unordered_map<std::string, std::unique_ptr<device>> devices;
    std::optional<transport_set> transports;
    kestd::finder finder;
    std::vector<boost::asio::ip::udp::endpoint> waiting;
    driver::found_device_map found;
    std::size_t dropped_requests = 0;
    std::function<void()> serving_ended;
    // Expires when the landing is destroyed, so a discovery still held by the loop's
    // leftovers never completes into it.
    std::shared_ptr<void> alive = std::make_shared<char>();
};

}  // namespace kestd
