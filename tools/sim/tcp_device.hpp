#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "tcp_connection.hpp"

namespace kest::sim {

// A network device's data port: a TCP listener on 0.0.0.0 (an ephemeral port) whose every
// connection plays the device on its own. The main loop polls listener() and ended().
class tcp_device {
public:
    tcp_device(std::string serial, tcp_connection::plan how);
    ~tcp_device();
    tcp_device(const tcp_device&) = delete;
    tcp_device& operator=(const tcp_device&) = delete;

    // A port number nothing listens on: one the system just gave out and took back.
    static std::uint16_t unused_port();

    std::uint16_t port() const { return port_; }
    // The listener while it takes connections, else -1.
    int listener() const;
    // Readable when a connection has ended.
    int ended() const { return ended_fd_; }

    void accept_connections();
    // Forgets connections that have ended.
    void reap();
    void close_connections();
    void stop_listening();

private:
    std::string serial_;
    tcp_connection::plan plan_;
    int listener_ = -1;
    int ended_fd_ = -1;
    std::uint16_t port_ = 0;
    bool paused_ = false;  // out of descriptors: accept again once a connection ends
    std::list<std::unique_ptr<tcp_connection>> connections_;
};

}  // namespace kest::sim
