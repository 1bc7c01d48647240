// The CAB frame formats: what the driver sends, what it takes from captured frames.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "driver/cab/cab1_frame.hpp"
#include "driver/cab/cab2_reassembler.hpp"
#include "driver/cab/cab_driver.hpp"
#include "driver/cab/discovery_frames.hpp"
#include "driver/cab/find_devices.hpp"
#include "support/log_capture.hpp"

namespace kestd::driver::cab {
namespace {

using bytes = std::vector<std::uint8_t>;
using test::log_capture;

const mac_address device_mac{0x00, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e};
const mac_address adapter_mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// A CAB2 frame from the device: header, then `payload`, then `padding` zero bytes.
bytes cab2(std::uint16_t length, std::uint16_t sequence, std::uint8_t flags, const bytes& payload,
           std::size_t padding = 0) {
    bytes f = {0x02, 0,    0,    0,    0,    1,    0x00, 0x0a, 0x1b,
               0x2c, 0x3d, 0x4e, 0xCA, 0xB2, 0xAA, 0xAA, 0x55, 0x55};
    f.push_back(static_cast<std::uint8_t>(length));
    f.push_back(static_cast<std::uint8_t>(length >> 8));
    f.push_back(static_cast<std::uint8_t>(sequence));
    f.push_back(static_cast<std::uint8_t>(sequence >> 8));
    f.push_back(flags);
    f.push_back(0);
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), padding, 0);
    return f;
}

bytes counting(std::size_t n, std::uint8_t from = 0) {
    bytes b(n);
    std::iota(b.begin(), b.end(), from);
    return b;
}

bytes received(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

TEST(Cab1Frame, CarriesTheHeaderLengthAndARunningSequenceUnpadded) {
    cab1_frame frame(device_mac, adapter_mac);
    frame.payload()[0] = 0x7F;
    const bytes one = received(frame.seal(1));
    EXPECT_EQ(one, (bytes{0x00, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x02, 0, 0, 0,    0,    1,   0xCA,
                          0xB1, 0xAA, 0xAA, 0x55, 0x55, 1,    0,    0, 0, 0x03, 0x00, 0x7F}))
        << "25 bytes, sequence 0, no padding to the Ethernet minimum";
    const auto full = frame.seal(frame_layout::max_payload);
    EXPECT_EQ(full.size(), 1511u);
    EXPECT_EQ(full[18] | full[19] << 8, 1487);
    EXPECT_EQ(full[20] | full[21] << 8, 1);
    EXPECT_THROW(frame.seal(0), std::length_error);
    EXPECT_THROW(frame.seal(1488), std::length_error);
}

TEST(Cab1Frame, The65537thFrameCarriesSequenceZeroAgain) {
    cab1_frame frame(device_mac, adapter_mac);
    for (int i = 0; i < 65535; ++i) frame.seal(1);
    const auto last = frame.seal(1);
    EXPECT_EQ(last[20] | last[21] << 8, 65535);
    const auto wrapped = frame.seal(1);
    EXPECT_EQ(wrapped[20] | wrapped[21] << 8, 0);
}

TEST(CaptureFilter, NamesTheDeviceInUpperCaseHex) {
    EXPECT_EQ(cab_driver::capture_filter(device_mac),
              "ether proto 0xCAB2 && ether src 00:0A:1B:2C:3D:4E");
}

TEST(Cab2Reassembler, ShortFramesAreDroppedAndAHeaderAloneCarriesNothing) {
    log_capture log;
    cab2_reassembler r;
    const bytes header_only = cab2(0, 0, 0x03, {});
    EXPECT_TRUE(r.accept(bytes(header_only.begin(), header_only.end() - 1)).empty());
    EXPECT_EQ(log.count("dropping short packet (23 bytes)"), 1u);
    EXPECT_TRUE(r.accept(header_only).empty()) << "24 bytes: accepted, no payload";
    EXPECT_EQ(log.count("dropping short packet"), 1u);
}

TEST(Cab2Reassembler, PaddingAndOverlongPayloadsAreCutToTheMessage) {
    cab2_reassembler r;
    EXPECT_EQ(received(r.accept(cab2(10, 7, 0x03, counting(10), 26))), counting(10))
        << "a 60-byte padded frame delivers its 10 bytes";
    // First fragment announces 6 bytes; the last brings more than the 2 still missing.
    EXPECT_TRUE(r.accept(cab2(6, 8, 0x01, counting(4))).empty());
    EXPECT_EQ(received(r.accept(cab2(0, 8, 0x02, counting(5, 4)))), counting(6));
}

TEST(Cab2Reassembler, FragmentsOfAnotherMessageAreDroppedAndTheMessageGoesOn) {
    log_capture log;
    cab2_reassembler r;
    EXPECT_TRUE(r.accept(cab2(3000, 41, 0x01, counting(1000))).empty());
    EXPECT_TRUE(r.accept(cab2(0, 42, 0x00, bytes(1000, 0xEE))).empty());
    EXPECT_EQ(log.count("dropping CAB2, unexpected sequence number: 42, expected: 41"), 1u);
    EXPECT_TRUE(r.accept(cab2(0, 41, 0x00, counting(1000, 1000 % 256))).empty());
    const bytes whole = received(r.accept(cab2(0, 41, 0x02, counting(1000, 2000 % 256))));
    EXPECT_EQ(whole, counting(3000));
}

TEST(Cab2Reassembler, ALastFragmentWithNothingAssembledDeliversNothing) {
    cab2_reassembler r;
    EXPECT_TRUE(r.accept(cab2(0, 0, 0x02, counting(5))).empty())
        << "no first fragment since the start";
    EXPECT_TRUE(r.accept(cab2(0, 3, 0x01, {})).empty());
    EXPECT_TRUE(r.accept(cab2(0, 3, 0x02, counting(5))).empty()) << "a first fragment of length 0";
    // A message is handed over once: the same last fragment again is not a second copy.
    EXPECT_EQ(received(r.accept(cab2(4, 9, 0x03, counting(4)))), counting(4));
    EXPECT_TRUE(r.accept(cab2(4, 9, 0x02, counting(4))).empty());
}

TEST(Cab2Reassembler, TheLongestMessageFitsWhole) {
    cab2_reassembler r;
    const bytes message = counting(65535);
    std::size_t sent = 0;
    bytes out;
    while (sent < message.size()) {
        const std::size_t n = std::min<std::size_t>(1486, message.size() - sent);
        const std::uint8_t flags = (sent == 0 ? 0x01 : 0) | (sent + n == message.size() ? 0x02 : 0);
        out = received(r.accept(cab2(65535, 5, flags,
                                     bytes(message.begin() + static_cast<long>(sent),
                                           message.begin() + static_cast<long>(sent + n)))));
        sent += n;
    }
    EXPECT_EQ(out, message);
}

TEST(CabQuery, IsTheTwentyEightBytesOfEachCode) {
    EXPECT_EQ(
        received(make_query(query_a, adapter_mac)),
        (bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0,    0,    0,    1,    0xCA, 0xB1,
               0xAA, 0xAA, 0x55, 0x55, 4,    0,    0,    0, 0x03, 0x01, 0xAA, 0x1B, 0xA1, 0x44}));
    EXPECT_EQ(received(make_query(query_b, adapter_mac)).back(), 0x00);
    EXPECT_EQ(make_query(query_b, adapter_mac)[24], 0x01);
}

bytes form_a(std::uint64_t serial, std::uint16_t length = 40) {
    bytes payload(length, 0);
    const bytes fixed = {0xAA, 0x0C, 0x28, 0x00, 0x25, 0x00, 0x12, 0x34, 0x9B, 0xA1};
    std::copy(fixed.begin(), fixed.end(), payload.begin());
    for (int i = 0; i < 8; ++i) payload[10 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
    return cab2(length, 0, 0x03, payload);
}

bytes form_b(const std::string& serial, std::uint16_t length = 26) {
    bytes payload(length, 0);
    payload[0] = 0x01;
    payload[1] = 0x01;
    for (std::size_t i = 0; i < serial.size() && i < 6; ++i) payload[20 - i] = serial[i];
    return cab2(length, 0, 0x03, payload);
}

std::optional<std::string> serial_of(const bytes& frame) {
    const auto reply = read_reply(frame);
    if (!reply) return std::nullopt;
    EXPECT_EQ(reply->device, device_mac) << "the device is the frame's source";
    return reply->serial;
}

TEST(CabReply, BothFormsGiveTheirSerialInUpperCase) {
    EXPECT_EQ(serial_of(form_a(36 * 36 * 36 * 36 * 10)), "A0000");
    EXPECT_EQ(serial_of(form_a(0)), "0");
    EXPECT_EQ(serial_of(form_a(0xFFFFFFFF)), "1Z141Z3");
    EXPECT_EQ(serial_of(form_b("123456")), "123456");
    EXPECT_EQ(serial_of(form_b("ab1")), "AB1") << "ends at the first zero byte";
}

TEST(CabReply, FramesFailingTheChecksAreIgnored) {
    log_capture log;
    EXPECT_EQ(serial_of(form_a(4294967296)), std::nullopt);
    EXPECT_EQ(log.count("invalid serial number returned from device: 4294967296"), 1u);
    EXPECT_EQ(serial_of(form_a(1, 39)), std::nullopt);
    EXPECT_EQ(serial_of(form_b("123456", 27)), std::nullopt);
    bytes unmarked = form_b("123456");
    unmarked[15] = 0;
    EXPECT_EQ(serial_of(unmarked), std::nullopt);
    bytes truncated = form_a(1);
    truncated.pop_back();  // L + 24 beyond the frame
    EXPECT_EQ(serial_of(truncated), std::nullopt);
    bytes other_type = form_b("123456");
    other_type[25] = 0x02;
    EXPECT_EQ(serial_of(other_type), std::nullopt);
    bytes form_b_flag = form_b("123456");
    form_b_flag[48] = 1;
    EXPECT_EQ(serial_of(form_b_flag), std::nullopt);
    bytes form_a_mark = form_a(1);
    form_a_mark[33] = 0;
    EXPECT_EQ(serial_of(form_a_mark), std::nullopt);
    EXPECT_EQ(serial_of(bytes(23, 0xAA)), std::nullopt);
}

TEST(CabAdapters, OnlyConnectedWiredAdaptersWithAddressesAreSearched) {
    EXPECT_TRUE(is_searched(0x16, true)) << "a veth whose both ends are up";
    EXPECT_TRUE(is_searched(0x30, true)) << "connection status not applicable";
    EXPECT_FALSE(is_searched(0x16, false)) << "no addresses";
    EXPECT_FALSE(is_searched(0x22, true)) << "disconnected";
    EXPECT_FALSE(is_searched(0x37, true)) << "loopback";
    EXPECT_FALSE(is_searched(0x18, true)) << "wireless";
}

}  // namespace
}  // namespace kestd::driver::cab
