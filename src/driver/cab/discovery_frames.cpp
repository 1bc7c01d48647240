#include "driver/cab/discovery_frames.hpp"

#include <algorithm>
#include <cctype>

#include "driver/cab/cab_log.hpp"
#include "driver/cab/frame_layout.hpp"

namespace kestd::driver::cab {

namespace fl = frame_layout;

namespace {

constexpr std::uint16_t form_a = 0x0CAA;
constexpr std::uint16_t form_b = 0x0101;

std::uint64_t read_u64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::optional<std::string> form_a_serial(std::span<const std::uint8_t> f, std::size_t length) {
    if (length < 40) return std::nullopt;
    if (fl::read_u16(&f[26]) != 0x0028 || fl::read_u16(&f[28]) != 0x0025) return std::nullopt;
    if (f[32] != 0x9B || f[33] != 0xA1) return std::nullopt;
    const std::uint64_t number = read_u64(&f[34]);
    if (number > 0xFFFFFFFFu) {
        KESTD_LOG(cab_log(), warning) << "invalid serial number returned from device: " << number;
        return std::nullopt;
    }
    return to_base36(number);
}

std::optional<std::string> form_b_serial(std::span<const std::uint8_t> f, std::size_t length) {
    if (length != 26) return std::nullopt;
    if (f[28] != 0 || f[29] != 0 || f[33] != 0 || f[34] != 0 || f[48] != 0) return std::nullopt;
    std::string serial;
    for (std::size_t at = 44; at >= 39 && f[at] != 0; --at) serial += static_cast<char>(f[at]);
    return serial;
}

}  // namespace

std::array<std::uint8_t, query_size> make_query(std::uint32_t code, const mac_address& adapter) {
    std::array<std::uint8_t, query_size> q{};
    std::fill_n(q.begin() + fl::destination, 6, 0xFF);
    std::copy(adapter.begin(), adapter.end(), q.begin() + fl::source);
    q[fl::ethertype] = fl::host_to_device >> 8;
    q[fl::ethertype + 1] = fl::host_to_device & 0xFF;
    std::copy(std::begin(fl::marker_bytes), std::end(fl::marker_bytes), q.begin() + fl::marker);
    fl::write_u16(&q[fl::length], 4);
    fl::write_u16(&q[fl::sequence], 0);
    q[fl::flags] = fl::whole_message;
    q[fl::kind] = fl::query_kind;
    for (int i = 0; i < 4; ++i) q[fl::header_size + i] = static_cast<std::uint8_t>(code >> (8 * i));
    return q;
}

std::optional<discovery_reply> read_reply(std::span<const std::uint8_t> frame) {
    if (frame.size() < fl::header_size) return std::nullopt;
    if (!std::equal(std::begin(fl::marker_bytes), std::end(fl::marker_bytes),
                    frame.begin() + fl::marker)) {
        return std::nullopt;
    }
    const std::size_t length = fl::read_u16(&frame[fl::length]);
    if (length < 2 || length + fl::header_size > frame.size()) return std::nullopt;
    // Each form's fields lie within its length, which the checks above keep in the frame.
    std::optional<std::string> serial;
    switch (fl::read_u16(&frame[fl::header_size])) {
        case form_a:
            serial = form_a_serial(frame, length);
            break;
        case form_b:
            serial = form_b_serial(frame, length);
            break;
        default:
            return std::nullopt;
    }
    if (!serial) return std::nullopt;
    discovery_reply reply;
    for (char& c : *serial) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    reply.serial = std::move(*serial);
    std::copy_n(frame.begin() + fl::source, 6, reply.device.begin());
    return reply;
}

std::string to_base36(std::uint64_t value) {
    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string text;
    do {
        text += digits[value % 36];
        value /= 36;
    } while (value != 0);
    std::reverse(text.begin(), text.end());
    return text;
}

}  // namespace kestd::driver::cab
