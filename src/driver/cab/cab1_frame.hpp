#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "driver/cab/frame_layout.hpp"
#include "driver/cab/mac_address.hpp"

namespace kestd::driver::cab {

// The one buffer a driver's CAB1 data frames are built in: the fixed header is written once,
// each frame then takes the payload read into `payload()` and the next sequence number.
class cab1_frame {
public:
    cab1_frame(const mac_address& device, const mac_address& adapter);

    // Where up to max_payload bytes for the next frame are read.
    std::span<std::uint8_t> payload() {
        return {bytes.data() + frame_layout::header_size, frame_layout::max_payload};
    }

    // Completes the frame around `size` payload bytes (1 to max_payload) and returns the
    // header_size + size bytes to send, unpadded. The sequence number is used up even if the
    // send then fails; it wraps from 65535 to 0.
    std::span<const std::uint8_t> seal(std::size_t size);

    std::uint16_t next_sequence() const { return sequence; }

private:
    std::array<std::uint8_t, frame_layout::max_frame> bytes{};
    std::uint16_t sequence = 0;
};

}  // namespace kestd::driver::cab
