#include "cab_frames.hpp"

#include <cstring>

namespace kest::sim::cab {

namespace {

constexpr std::uint8_t marker[4] = {0xAA, 0xAA, 0x55, 0x55};

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<header> read_header(const std::uint8_t* frame, std::size_t size) {
    if (size < header_size) return std::nullopt;
    header h{};
    std::memcpy(h.destination.data(), frame, 6);
    std::memcpy(h.source.data(), frame + 6, 6);
    h.ethertype = static_cast<std::uint16_t>(frame[12] << 8 | frame[13]);
    h.marked = std::memcmp(frame + 14, marker, sizeof marker) == 0;
    h.length = get16(frame + 18);
    h.sequence = get16(frame + 20);
    h.flags = frame[22];
    h.kind = frame[23];
    return h;
}

std::optional<std::uint32_t> query_code(const header& h, const std::uint8_t* frame,
                                        std::size_t size) {
    if (h.kind != query_kind || !h.marked || h.length != 4 || size < query_size)
        return std::nullopt;
    const std::uint8_t* p = frame + header_size;
    return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
           static_cast<std::uint32_t>(p[3]) << 24;
}

void write_header(std::uint8_t* frame, const mac_address& to, const mac_address& from,
                  std::uint16_t length, std::uint16_t sequence, std::uint8_t flags) {
    std::memcpy(frame, to.data(), 6);
    std::memcpy(frame + 6, from.data(), 6);
    frame[12] = device_ethertype >> 8;
    frame[13] = device_ethertype & 0xFF;
    std::memcpy(frame + 14, marker, sizeof marker);
    put16(frame + 18, length);
    put16(frame + 20, sequence);
    frame[22] = flags;
    frame[23] = data_kind;
}

std::size_t write_reply_a(std::uint8_t* frame, const mac_address& to, const mac_address& from,
                          std::uint64_t serial) {
    std::memset(frame, 0, reply_a_size);
    write_header(frame, to, from, reply_a_size - header_size, 0, first_fragment | last_fragment);
    put16(frame + 24, 0x0CAA);
    put16(frame + 26, 0x0028);
    put16(frame + 28, 0x0025);
    frame[32] = 0x9B;
    frame[33] = 0xA1;
    for (int i = 0; i < 8; ++i) frame[34 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
    return reply_a_size;
}

std::size_t write_reply_b(std::uint8_t* frame, const mac_address& to, const mac_address& from,
                          std::string_view serial) {
    std::memset(frame, 0, reply_b_size);
    write_header(frame, to, from, reply_b_size - header_size, 0, first_fragment | last_fragment);
    put16(frame + 24, 0x0101);
    // The first character at 44, the sixth at 39; bytes 28, 29, 33, 34 and 48 stay zero.
    for (std::size_t i = 0; i < serial.size() && i < 6; ++i)
        frame[44 - i] = static_cast<std::uint8_t>(serial[i]);
    return reply_b_size;
}

std::optional<std::uint64_t> parse_base36(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const int d = digit_value(c);
        if (d < 0 || d >= 36) return std::nullopt;
        if (value > (UINT64_MAX - static_cast<std::uint64_t>(d)) / 36) return std::nullopt;
        value = value * 36 + static_cast<std::uint64_t>(d);
    }
    return value;
}

std::string base36(std::uint64_t value) {
    static constexpr char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out;
    do {
        out.insert(out.begin(), digits[value % 36]);
        value /= 36;
    } while (value != 0);
    return out;
}

std::optional<mac_address> parse_mac(std::string_view text) {
    mac_address mac{};
    if (text.size() != 17) return std::nullopt;
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = digit_value(text[3 * i]), low = digit_value(text[3 * i + 1]);
        if (high < 0 || high > 15 || low < 0 || low > 15) return std::nullopt;
        if (i < 5 && text[3 * i + 2] != ':' && text[3 * i + 2] != '-') return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return mac;
}

std::string mac_text(const mac_address& mac) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) out += ':';
        out += hex[mac[i] >> 4];
        out += hex[mac[i] & 0xF];
    }
    return out;
}

}  // namespace kest::sim::cab
