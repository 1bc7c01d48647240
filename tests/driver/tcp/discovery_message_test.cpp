#include "driver/tcp/discovery_message.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/log_capture.hpp"

namespace kestd::driver::tcp {
namespace {

using bytes = std::vector<std::uint8_t>;
using boost::asio::ip::make_address_v4;

void put16(bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// One resource record: name bytes, TYPE, CLASS, TTL, RDLENGTH and RDATA.
bytes record(const bytes& name, unsigned type, const bytes& rdata) {
    bytes out = name;
    put16(out, type);
    put16(out, 0x8001);
    put16(out, 0);
    put16(out, 120);
    put16(out, static_cast<unsigned>(rdata.size()));
    out.insert(out.end(), rdata.begin(), rdata.end());
    return out;
}

const bytes pointer_to_instance = {0xC0, 0x29};

bytes srv(unsigned port, const bytes& name = pointer_to_instance,
          const bytes& target = pointer_to_instance) {
    bytes rdata = {0, 0, 0, 0};
    put16(rdata, port);
    rdata.insert(rdata.end(), target.begin(), target.end());
    return record(name, 33, rdata);
}

bytes a(const bytes& address, const bytes& name = pointer_to_instance) {
    return record(name, 1, address);
}

// A device's answer: header, the PTR answer for `serial`, then `records` (ARCOUNT = `arcount`).
bytes response(const std::string& serial, const std::vector<bytes>& records, int arcount = -1,
               unsigned rdlength = 9) {
    bytes out = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0};
    put16(out,
          arcount < 0 ? static_cast<unsigned>(records.size()) : static_cast<unsigned>(arcount));
    out.insert(out.end(), service_name.begin(), service_name.end());
    put16(out, 12);
    put16(out, 1);
    put16(out, 0);
    put16(out, 120);
    put16(out, rdlength);
    out.push_back(static_cast<std::uint8_t>(serial.size()));
    out.insert(out.end(), serial.begin(), serial.end());
    out.push_back(0xC0);
    out.push_back(0x0C);
    for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
    return out;
}

bytes device_answer(const std::string& serial = "1A2B3C") {
    return response(serial, {srv(7000), a({192, 168, 7, 2})});
}

struct parsed {
    bool ok;
    std::string serial;
    boost::asio::ip::tcp::endpoint endpoint;
};

parsed parse(const bytes& data) {
    parsed result{false, {}, {make_address_v4("0.0.0.0"), 0}};
    result.ok = parse_discovery_response(data.data(), data.size(), result.serial, result.endpoint);
    return result;
}

const boost::asio::ip::tcp::endpoint device_endpoint(make_address_v4("192.168.7.2"), 7000);

TEST(DiscoveryQuery, IsTheFixedPtrQuestion) {
    const bytes expected = {0,    0,    0,    0,    0,    1,    0,    0,    0,    0,    0,    0,
                            0x06, 0x5F, 0x71, 0x75, 0x61, 0x72, 0x6E, 0x04, 0x5F, 0x74, 0x63, 0x70,
                            0x05, 0x6C, 0x6F, 0x63, 0x61, 0x6C, 0x00, 0,    12,   0,    1};
    EXPECT_EQ(bytes(discovery_query.begin(), discovery_query.end()), expected);
    EXPECT_EQ(mdns_endpoint().address().to_string(), "224.0.0.251");
    EXPECT_EQ(mdns_endpoint().port(), 5353);
}

TEST(ParseDiscoveryResponse, ReadsTheDeviceLayoutInEitherRecordOrder) {
    const bytes srv_first = device_answer();
    ASSERT_EQ(srv_first.size(), 86u);
    auto result = parse(srv_first);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.serial, "1A2B3C");
    EXPECT_EQ(result.endpoint, device_endpoint);

    result = parse(response("1A2B3C", {a({192, 168, 7, 2}), srv(7000)}));
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.endpoint, device_endpoint);
}

TEST(ParseDiscoveryResponse, DropsWhatIsNoAnswerSilently) {
    test::log_capture log;
    bytes short_answer = device_answer();
    short_answer.pop_back();
    EXPECT_FALSE(parse(short_answer).ok);

    bytes query = device_answer();
    query[2] = 0;  // QR clear
    EXPECT_FALSE(parse(query).ok);

    bytes no_answer = device_answer();
    no_answer[7] = 0;
    EXPECT_FALSE(parse(no_answer).ok);

    EXPECT_FALSE(parse(response("1A2B3C", {srv(7000), a({192, 168, 7, 2})}, 1)).ok);

    bytes other_service = device_answer();
    other_service[14] = 'Q';
    EXPECT_FALSE(parse(other_service).ok);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ParseDiscoveryResponse, EightySixBytesIsTheMinimum) {
    // A root-name SRV target makes a complete answer of 85 bytes: dropped without a line;
    // one byte of padding and it parses.
    bytes answer = response("1A2B3C", {srv(7000, pointer_to_instance, {0}), a({192, 168, 7, 2})});
    ASSERT_EQ(answer.size(), 85u);
    test::log_capture log;
    EXPECT_FALSE(parse(answer).ok);
    EXPECT_TRUE(log.lines().empty());
    answer.push_back(0);
    const auto result = parse(answer);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.endpoint, device_endpoint);
}

TEST(ParseDiscoveryResponse, RejectsABadInstanceNameWithItsLogLine) {
    test::log_capture log;
    EXPECT_FALSE(parse(response("1A2B3C", {srv(7000), a({10, 0, 0, 1})}, -1, 10)).ok);
    EXPECT_EQ(log.count("[error] [tcp] invalid domain name size in TCP discovery response: 10"),
              1u);

    bytes seven = device_answer();
    seven[41] = 7;
    EXPECT_FALSE(parse(seven).ok);
    EXPECT_EQ(log.count("[error] [tcp] unexpected serial length in TCP discovery response"), 1u);

    EXPECT_FALSE(parse(device_answer("000001")).ok);
    EXPECT_EQ(log.count("[warning] [tcp] invalid serial: 000001"), 1u);

    // Anyone on the link may answer; a label that would break the log is escaped there.
    EXPECT_FALSE(parse(device_answer(std::string("A0000\n", 6))).ok);
    EXPECT_EQ(log.count("[warning] [tcp] invalid serial: A0000\\n"), 1u);
}

TEST(ParseDiscoveryResponse, OtherRecordTypesAreSkippedWithAWarning) {
    test::log_capture log;
    const bytes txt = record(pointer_to_instance, 16, {0});
    const auto result = parse(response("1A2B3C", {srv(7000), txt, a({192, 168, 7, 2})}));
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.endpoint, device_endpoint);
    EXPECT_EQ(log.count("[warning] [tcp] unhandled mDNS record type in TCP discovery response"),
              1u);
}

TEST(ParseDiscoveryResponse, AcceptsAnswersWithoutAddressOrPort) {
    auto result =
        parse(response("1A2B3C", {srv(7000), record(pointer_to_instance, 16, bytes(14))}));
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.endpoint.address().to_string(), "0.0.0.0");
    EXPECT_EQ(result.endpoint.port(), 7000);
}

// Each record cut short at every field: the line names what is missing.
TEST(ParseDiscoveryResponse, TruncatedRecordsNameTheMissingField) {
    struct cut {
        bytes records;
        std::size_t keep;  // bytes of the last record kept
        const char* line;
    };
    const bytes s = srv(7000);
    const bytes ip = a({192, 168, 7, 2});
    const std::vector<cut> cuts = {
        {ip, 0, "malformed TCP discovery response record, missing record type"},
        {ip, 3, "malformed TCP discovery response record, missing record type"},
        {ip, 11, "malformed TCP discovery response record, missing data length"},
        {ip, 15, "malformed TCP discovery response record, missing IP"},
        {s, 17, "malformed TCP discovery response record, missing port"},
    };
    for (const auto& c : cuts) {
        test::log_capture log;
        // A padding TXT record first keeps the whole answer at 86 bytes or more.
        bytes answer = response("1A2B3C", {record(pointer_to_instance, 16, bytes(30)), c.records});
        answer.resize(answer.size() - c.records.size() + c.keep);
        ASSERT_GE(answer.size(), 86u);
        EXPECT_FALSE(parse(answer).ok) << c.line;
        EXPECT_EQ(log.count(std::string("[error] [tcp] ") + c.line), 1u) << c.line;
    }
}

// Standard responders write record names in full or partly compressed.
TEST(ParseDiscoveryResponse, SkipsFullAndPartlyCompressedNames) {
    const bytes host = {11,  'k', 'e', 's', 't', '-', '1', 'A', '2', 'B',
                        '3', 'C', 5,   'l', 'o', 'c', 'a', 'l', 0};
    const bytes host_compressed = {11,  'k', 'e', 's', 't', '-',  '1',
                                   'A', '2', 'B', '3', 'C', 0xC0, 0x18};
    const bytes nsec = record(host_compressed, 47, {0xC0, 0x29, 0, 4, 0x40, 0, 0, 0});
    const auto result = parse(response(
        "1A2B3C", {srv(7000, pointer_to_instance, host_compressed),
                   record(pointer_to_instance, 16, {0}), a({192, 168, 7, 2}, host), nsec}));
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.endpoint, device_endpoint);
}

TEST(ParseDiscoveryResponse, NamesRunningPastTheDatagramAreRejected) {
    test::log_capture log;
    // A label that claims more bytes than remain.
    bytes answer = response("1A2B3C", {srv(7000), bytes{20, 'k', 'e', 's', 't'}});
    answer.resize(std::max<std::size_t>(answer.size(), 86), 0);
    answer[answer.size() - 1] = 0x3F;
    EXPECT_FALSE(parse(answer).ok);
    // A pointer whose second byte is missing.
    bytes cut_pointer = response("1A2B3C", {record(pointer_to_instance, 16, bytes(30)), srv(7000)});
    cut_pointer.resize(cut_pointer.size() - srv(7000).size() + 1);
    EXPECT_FALSE(parse(cut_pointer).ok);
    // Reserved label kinds (0x40, 0x80) are not names.
    bytes reserved = response("1A2B3C", {bytes{0x40, 0x00}, srv(7000)});
    reserved.resize(std::max<std::size_t>(reserved.size(), 86), 0);
    EXPECT_FALSE(parse(reserved).ok);
    EXPECT_EQ(log.count("malformed TCP discovery response record, missing record type"), 3u);
}

// Whatever follows a valid answer's first 50 bytes, the parser stays within the datagram
// (the sanitizer builds check every read).
TEST(ParseDiscoveryResponse, ArbitraryRecordsNeverReadPastTheDatagram) {
    test::log_capture log;
    std::mt19937 random(20261208);
    const bytes start = device_answer();
    for (int round = 0; round < 20000; ++round) {
        const std::size_t size = 50 + random() % 120;
        std::vector<std::uint8_t> data(start.begin(), start.begin() + 50);
        data[11] = static_cast<std::uint8_t>(2 + random() % 6);  // ARCOUNT
        while (data.size() < size) {
            // Mostly small values and pointers, so names and lengths are often near the edge.
            const auto r = random() % 8;
            data.push_back(static_cast<std::uint8_t>(r == 0  ? 0xC0
                                                     : r < 4 ? random() % 8
                                                             : random()));
        }
        auto heap = std::make_unique<std::uint8_t[]>(data.size());
        std::copy(data.begin(), data.end(), heap.get());
        std::string serial;
        boost::asio::ip::tcp::endpoint endpoint;
        parse_discovery_response(heap.get(), data.size(), serial, endpoint);
    }
}

}  // namespace
}  // namespace kestd::driver::tcp
