#include "driver/cab/cab1_frame.hpp"

#include <algorithm>
#include <stdexcept>

namespace kestd::driver::cab {

namespace fl = frame_layout;

cab1_frame::cab1_frame(const mac_address& device, const mac_address& adapter) {
    std::copy(device.begin(), device.end(), bytes.begin() + fl::destination);
    std::copy(adapter.begin(), adapter.end(), bytes.begin() + fl::source);
    bytes[fl::ethertype] = fl::host_to_device >> 8;
    bytes[fl::ethertype + 1] = fl::host_to_device & 0xFF;
    std::copy(std::begin(fl::marker_bytes), std::end(fl::marker_bytes), bytes.begin() + fl::marker);
    bytes[fl::kind] = fl::data_kind;
}

std::span<const std::uint8_t> cab1_frame::seal(std::size_t size) {
    if (size == 0 || size > fl::max_payload) throw std::length_error("CAB1 payload size");
    fl::write_u16(bytes.data() + fl::length, static_cast<std::uint16_t>(size));
    fl::write_u16(bytes.data() + fl::sequence, sequence++);
    bytes[fl::flags] = fl::whole_message;
    return {bytes.data(), fl::header_size + size};
}

}  // namespace kestd::driver::cab
