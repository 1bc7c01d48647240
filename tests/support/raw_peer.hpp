#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/cab/mac_address.hpp"

namespace kestd::test {

// A raw Ethernet socket on an interface of another network namespace: the far end of a
// link, where a CAB device would be. Sees only CAB1 frames (ethertype 0xCAB1).
class raw_peer {
public:
    // Throws std::runtime_error when the socket cannot be made.
    raw_peer(const std::string& netns, const std::string& interface);
    ~raw_peer();
    raw_peer(const raw_peer&) = delete;
    raw_peer& operator=(const raw_peer&) = delete;

    const driver::cab::mac_address& mac() const { return mac_; }

    void send(const std::vector<std::uint8_t>& frame);
    // The next CAB1 frame that arrived on the interface, or nothing within `timeout`.
    std::optional<std::vector<std::uint8_t>> receive(
        std::chrono::milliseconds timeout = std::chrono::seconds(2));

private:
    int fd_ = -1;
    driver::cab::mac_address mac_{};
};

}  // namespace kestd::test
