#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestd::driver::cab {

// Puts CAB2 messages together from their fragments, as they are captured. Frames that
// break the rules are dropped with a warning on "cab". The buffer is allocated once.
class cab2_reassembler {
public:
    cab2_reassembler();

    // Takes one captured frame; returns the whole message when this frame completes one,
    // else nothing (an empty span). The span stays valid until the next call.
    std::span<const std::uint8_t> accept(std::span<const std::uint8_t> frame);

private:
    std::vector<std::uint8_t> assembly;
    std::uint16_t expected_sequence = 0;
    std::size_t message_length = 0;
    std::size_t assembled = 0;
};

}  // namespace kestd::driver::cab
