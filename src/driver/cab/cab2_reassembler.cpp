#include "driver/cab/cab2_reassembler.hpp"

#include <algorithm>

#include "driver/cab/cab_log.hpp"
#include "driver/cab/frame_layout.hpp"

namespace kestd::driver::cab {

namespace fl = frame_layout;

cab2_reassembler::cab2_reassembler() : assembly(fl::max_message) {}

std::span<const std::uint8_t> cab2_reassembler::accept(std::span<const std::uint8_t> frame) {
    if (frame.size() < fl::header_size) {
        KESTD_LOG(cab_log(), warning) << "dropping short packet (" << frame.size() << " bytes)";
        return {};
    }
    const std::uint8_t flags = frame[fl::flags];
    const std::uint16_t sequence = fl::read_u16(frame.data() + fl::sequence);
    if (flags & fl::first_fragment) {
        message_length = fl::read_u16(frame.data() + fl::length);
        expected_sequence = sequence;
        assembled = 0;
    } else if (sequence != expected_sequence) {
        KESTD_LOG(cab_log(), warning) << "dropping CAB2, unexpected sequence number: " << sequence
                                      << ", expected: " << expected_sequence;
        return {};
    }
    // Padding after the message's last byte is the adapter's, not the device's.
    const std::size_t k = std::min(frame.size() - fl::header_size, message_length - assembled);
    std::copy_n(frame.data() + fl::header_size, k, assembly.begin() + static_cast<long>(assembled));
    assembled += k;
    if (!(flags & fl::last_fragment) || assembled == 0) return {};
    // Delivered once: a repeated last fragment must not hand the same message over again.
    const std::size_t whole = assembled;
    assembled = 0;
    message_length = 0;
    return {assembly.data(), whole};
}

}  // namespace kestd::driver::cab
