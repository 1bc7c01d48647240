#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/logger.hpp"
#include "device/device.hpp"
#include "driver/weak_device_driver.hpp"
#include "finder/finder.hpp"
#include "landing/session_reaper.hpp"

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
    // Sessions held at once: each is a thread and a socket. A workstation has dozens of
    // devices; anything far beyond is a flood of announcements.
    static constexpr std::size_t max_devices = 256;
    // The device list goes out as one loopback datagram.
    static constexpr std::size_t max_list_size = 65507;

    // Makes the session of a newly found serial; tests put their own in.
    using session_factory = std::function<std::unique_ptr<device>(const std::string& serial)>;

    // Binds the socket; throws boost::system::system_error ("bind") when the port is taken.
    // Discovery, here and in every session, uses `transports`.
    explicit landing(transport_set transports, session_factory make_session = {});
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
    void handle_find_complete(driver::found_device_map found);
    void remove_stale_devices(const driver::found_device_map& found);
    void add_new_devices(const driver::found_device_map& found);
    std::string device_list();
    void answer_waiting(const std::string& list);

    logger log{boost::log::keywords::channel = "landing"};
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
    std::vector<char> receive_buffer;
    std::vector<char> send_buffer;
    boost::asio::ip::udp::endpoint peer;
    // Declared before the sessions, so it outlives every session it is handed.
    session_reaper reaper;
    std::unordered_map<std::string, std::unique_ptr<device>> devices;
    kestd::finder finder;
    session_factory make_session;
    std::vector<boost::asio::ip::udp::endpoint> waiting;
    std::size_t dropped_requests = 0;
    std::function<void()> serving_ended;
};

}  // namespace kestd
