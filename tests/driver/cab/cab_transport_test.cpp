// CAB discovery and the CAB driver in this process, against a raw-frame peer at the far end
// of veth links in another network namespace.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fstream>
#include <numeric>

#include "driver/cab/cab_driver.hpp"
#include "driver/cab/find_devices.hpp"
#include "driver/cab/get_mac_address.hpp"
#include "driver/cab/weak_cab_driver.hpp"
#include "driver/contract/driver_contract.hpp"
#include "support/log_capture.hpp"
#include "support/peer_network.hpp"
#include "support/private_network.hpp"
#include "support/raw_peer.hpp"

namespace kestd::driver::cab {
namespace {

using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;
namespace asio = boost::asio;
using test::log_capture;
using test::OpenDriver;
using test::peer_network;
using test::raw_peer;

bytes header(const mac_address& to, const mac_address& from, std::uint16_t length,
             std::uint16_t sequence, std::uint8_t flags) {
    bytes f(to.begin(), to.end());
    f.insert(f.end(), from.begin(), from.end());
    f.insert(f.end(), {0xCA, 0xB2, 0xAA, 0xAA, 0x55, 0x55});
    f.push_back(static_cast<std::uint8_t>(length));
    f.push_back(static_cast<std::uint8_t>(length >> 8));
    f.push_back(static_cast<std::uint8_t>(sequence));
    f.push_back(static_cast<std::uint8_t>(sequence >> 8));
    f.push_back(flags);
    f.push_back(0);
    return f;
}

bytes form_b_reply(const mac_address& to, const mac_address& from, const std::string& serial) {
    bytes f = header(to, from, 26, 0, 0x03);
    bytes payload(26, 0);
    payload[0] = payload[1] = 0x01;
    for (std::size_t i = 0; i < serial.size(); ++i) payload[20 - i] = serial[i];
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

bytes form_a_reply(const mac_address& to, const mac_address& from, std::uint64_t serial) {
    bytes f = header(to, from, 40, 0, 0x03);
    bytes payload(40, 0);
    const bytes fixed = {0xAA, 0x0C, 0x28, 0x00, 0x25, 0x00, 0, 0, 0x9B, 0xA1};
    std::copy(fixed.begin(), fixed.end(), payload.begin());
    for (int i = 0; i < 8; ++i) payload[10 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

mac_address source_of(const bytes& frame) {
    mac_address mac{};
    std::copy_n(frame.begin() + 6, 6, mac.begin());
    return mac;
}

std::uint32_t query_code(const bytes& frame) {
    return frame[24] | frame[25] << 8 | frame[26] << 16 |
           static_cast<std::uint32_t>(frame[27]) << 24;
}

std::uint64_t tx_packets(const std::string& interface) {
    std::ifstream in("/sys/class/net/" + interface + "/statistics/tx_packets");
    std::uint64_t n = 0;
    in >> n;
    return n;
}

// One discovery run with the window given, on a loop of its own.
struct discovery_result {
    bool started = false;
    bool done = false;
    found_device_map found;
};

discovery_result discover(std::chrono::milliseconds window,
                          const std::function<void()>& while_collecting = {}) {
    asio::io_context io;
    discovery_result r;
    r.started = async_find_devices(io, window, r.found, [&] { r.done = true; });
    if (while_collecting) while_collecting();
    io.run();
    return r;
}

class CabLinks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::in_private_network()) GTEST_SKIP() << "needs root and network namespaces";
        devices = std::make_unique<peer_network>("cabdev");
    }
    std::unique_ptr<peer_network> devices;
};

TEST_F(CabLinks, WithoutUsableAdaptersTheWindowStillEnds) {
    log_capture log;
    const auto before = tx_packets("lo");
    const auto r = discover(20ms);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.done);
    EXPECT_TRUE(r.found.empty());
    EXPECT_EQ(tx_packets("lo"), before) << "loopback is never asked";
}

TEST_F(CabLinks, RepliesOfBothFormsOnTwoAdaptersListEachDeviceOnce) {
    devices->link("cab0", "10.7.0.1/24", "dev0", "10.7.0.2/24");
    devices->link("cab1", "10.7.1.1/24", "dev1", "10.7.1.2/24");
    raw_peer first(devices->name(), "dev0");
    raw_peer second(devices->name(), "dev1");
    log_capture log;
    const auto r = discover(300ms, [&] {
        // Each link sees query A then query B from its own adapter.
        for (raw_peer* peer : {&first, &second}) {
            const auto a = peer->receive();
            const auto b = peer->receive();
            ASSERT_TRUE(a && b);
            ASSERT_EQ(a->size(), 28u);
            EXPECT_EQ(query_code(*a), 0x44A11BAAu);
            EXPECT_EQ(query_code(*b), 0x00000001u);
            EXPECT_EQ(bytes(a->begin(), a->begin() + 6), bytes(6, 0xFF));
            const mac_address adapter = source_of(*a);
            const mac_address device = peer->mac();
            // One device answering both queries with one serial, on both links; one more
            // with a broken serial, and one more on the first link only.
            peer->send(form_a_reply(adapter, device, 36ull * 36 * 36 * 36 * 10));  // a0000
            peer->send(form_b_reply(adapter, device, "A0000"));
            peer->send(form_b_reply(adapter, device, "A 1"));
            if (peer == &first) peer->send(form_b_reply(adapter, device, "123456"));
        }
    });
    ASSERT_TRUE(r.done);
    ASSERT_EQ(r.found.size(), 2u);
    ASSERT_TRUE(r.found.contains("A0000"));
    ASSERT_TRUE(r.found.contains("123456"));
    const auto& a0000 = dynamic_cast<const weak_cab_driver&>(*r.found.at("A0000"));
    EXPECT_TRUE(a0000.adapter() == "cab0" || a0000.adapter() == "cab1");
    EXPECT_EQ(r.found.at("123456")->name(), "cab");
    EXPECT_EQ(dynamic_cast<const weak_cab_driver&>(*r.found.at("123456")).device(), first.mac());
    EXPECT_EQ(log.count("invalid serial: A 1"), 2u);
}

TEST_F(CabLinks, LinksThatCannotReachADeviceAreNeverAsked) {
    // The maker's own adapter is the devices' side of a link; a link whose far end is down
    // has nobody on it.
    devices->link("oui0", "10.7.2.1/24", "dev2", "10.7.2.2/24", KESTD_MAKER_OUI_MAC);
    devices->link("down0", "10.7.3.1/24", "dev3", "10.7.3.2/24");
    test::run_command("ip -n " + devices->name() + " link set dev3 down");
    raw_peer behind_oui(devices->name(), "dev2");
    const auto down_before = tx_packets("down0");
    const auto r = discover(50ms);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(behind_oui.receive(100ms), std::nullopt);
    EXPECT_EQ(tx_packets("down0"), down_before);
}

// An open driver on one link, with the device's end in hand.
class CabDriver : public CabLinks {
protected:
    void SetUp() override {
        CabLinks::SetUp();
        if (IsSkipped()) return;
        devices->link("cab0", "10.7.0.1/24", "dev0", "10.7.0.2/24");
        device = std::make_unique<raw_peer>(devices->name(), "dev0");
        weak_cab_driver found("cab0", device->mac());
        driver = found.open(io);
        // The adapter's address, as the driver's frames carry it.
        get_mac_address("cab0", adapter);
    }

    // Runs the loop until `done` or the time is up.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.run_for(10ms);
            io.restart();
        }
        return done();
    }

    asio::io_context io;
    std::unique_ptr<raw_peer> device;
    std::shared_ptr<driver_base> driver;
    mac_address adapter{};
    log_capture log;
};

TEST_F(CabDriver, AClientWriteReachesTheDeviceInNumberedFramesOfAtMost1487Bytes) {
    bytes data(3000);
    std::iota(data.begin(), data.end(), 0);
    bool written = false;
    driver->async_write(asio::buffer(data),
                        [&](const boost::system::error_code& ec, std::size_t n) {
                            EXPECT_FALSE(ec);
                            EXPECT_EQ(n, 3000u);
                            written = true;
                        });
    ASSERT_TRUE(run_until([&] { return written; }));
    bytes arrived;
    std::uint16_t expected = 0;
    int frames = 0;
    while (arrived.size() < data.size()) {
        const auto frame = device->receive();
        ASSERT_TRUE(frame) << "after " << arrived.size() << " bytes";
        ASSERT_GE(frame->size(), 25u);
        EXPECT_EQ(source_of(*frame), adapter);
        EXPECT_EQ(bytes(frame->begin(), frame->begin() + 6),
                  bytes(device->mac().begin(), device->mac().end()));
        const std::size_t length = (*frame)[18] | (*frame)[19] << 8;
        EXPECT_EQ(frame->size(), 24 + length) << "no padding, no more than the length";
        EXPECT_LE(length, 1487u);
        EXPECT_EQ((*frame)[20] | (*frame)[21] << 8, expected++);
        EXPECT_EQ((*frame)[22], 0x03);
        EXPECT_EQ((*frame)[23], 0x00);
        arrived.insert(arrived.end(), frame->begin() + 24, frame->end());
        ++frames;
    }
    EXPECT_GE(frames, 3);
    EXPECT_EQ(arrived, data);
}

TEST_F(CabDriver, DeviceMessagesArriveWholeAndForeignFramesAreNot) {
    bytes message(4000);
    std::iota(message.begin(), message.end(), 7);
    mac_address stranger = device->mac();
    stranger[5] ^= 0xFF;
    bytes foreign = header(adapter, stranger, 3, 0, 0x03);
    foreign.insert(foreign.end(), {1, 2, 3});
    device->send(foreign);
    for (std::size_t at = 0; at < message.size(); at += 1486) {
        const std::size_t n = std::min<std::size_t>(1486, message.size() - at);
        const std::uint8_t flags = (at == 0 ? 0x01 : 0) | (at + n == message.size() ? 0x02 : 0);
        bytes f = header(adapter, device->mac(), at == 0 ? 4000 : 0, 12, flags);
        f.insert(f.end(), message.begin() + static_cast<long>(at),
                 message.begin() + static_cast<long>(at + n));
        device->send(f);
    }
    bytes got;
    std::vector<char> buffer(65536);
    std::function<void()> read = [&] {
        driver->async_read(
            asio::buffer(buffer), [&](const boost::system::error_code& ec, std::size_t n) {
                ASSERT_FALSE(ec) << ec.message();
                got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<long>(n));
                if (got.size() < message.size()) read();
            });
    };
    read();
    ASSERT_TRUE(run_until([&] { return got.size() >= message.size(); }));
    EXPECT_EQ(got, message) << "the stranger's frame is filtered out";
}

TEST_F(CabDriver, CloseEndsAPendingReadAndStopsBothThreads) {
    std::vector<char> buffer(100);
    std::optional<boost::system::error_code> result;
    driver->async_read(asio::buffer(buffer),
                       [&](const boost::system::error_code& ec, std::size_t) { result = ec; });
    io.run_for(20ms);
    io.restart();
    EXPECT_TRUE(driver->close());
    EXPECT_TRUE(driver->close()) << "a second close is harmless";
    ASSERT_TRUE(run_until([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    EXPECT_EQ(log.count("closing cab driver"), 1u);
    EXPECT_EQ(log.count("CAB read thread exiting: -2"), 1u);
    EXPECT_EQ(log.count("CAB write thread"), 1u);
}

TEST_F(CabDriver, ADriverLetGoWithoutCloseStopsItsThreadsFirst) {
    driver.reset();
    EXPECT_EQ(log.count("CAB read thread exiting: -2"), 1u);
    EXPECT_EQ(log.count("driver destroyed"), 1u);
}

TEST_F(CabDriver, TheLinkGoingAwayEndsThePendingRead) {
    std::vector<char> buffer(100);
    std::optional<boost::system::error_code> result;
    driver->async_read(asio::buffer(buffer),
                       [&](const boost::system::error_code& ec, std::size_t) { result = ec; });
    io.run_for(20ms);
    io.restart();
    test::run_command("ip link del cab0");
    ASSERT_TRUE(run_until([&] { return result.has_value(); }))
        << "clients would hang on a device that is gone";
    EXPECT_EQ(*result, asio::error::eof);
    EXPECT_EQ(log.count("CAB read thread exiting: -1"), 1u);
    driver->close();
}

// The device's side of the driver contract: a raw-frame peer at the far end of a veth.
class cab_device : public test::driver_under_test {
public:
    std::shared_ptr<driver_base> open(asio::io_context& io) override {
        devices_.link("cab0", "10.7.0.1/24", "dev0", "10.7.0.2/24");
        peer_ = std::make_unique<raw_peer>(devices_.name(), "dev0");
        get_mac_address("cab0", adapter_);
        return weak_cab_driver("cab0", peer_->mac()).open(io);
    }
    // One message per frame, as a device sending a stream of short messages does.
    void send(const bytes& data) override {
        for (std::size_t at = 0; at < data.size(); at += max_payload) {
            const std::size_t n = std::min(max_payload, data.size() - at);
            bytes f =
                header(adapter_, peer_->mac(), static_cast<std::uint16_t>(n), sequence_++, 0x03);
            f.insert(f.end(), data.begin() + static_cast<long>(at),
                     data.begin() + static_cast<long>(at + n));
            peer_->send(f);
        }
    }
    bytes receive(std::size_t n, std::chrono::milliseconds limit) override {
        bytes got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            const auto frame = peer_->receive(100ms);
            if (frame && frame->size() > 24)
                got.insert(got.end(), frame->begin() + 24, frame->end());
        }
        return got;
    }
    void go_away() override { test::run_command("ip link del cab0"); }

private:
    static constexpr std::size_t max_payload = 1486;
    peer_network devices_{"cabdev"};
    std::unique_ptr<raw_peer> peer_;
    mac_address adapter_{};
    std::uint16_t sequence_ = 0;
};

INSTANTIATE_TEST_SUITE_P(
    Cab, OpenDriver,
    ::testing::Values(test::driver_kind{
        "Cab", [] { return std::make_unique<cab_device>(); },
        [] { return test::in_private_network() ? "" : "needs root and network namespaces"; },
        asio::error::eof}),
    test::kind_name);

TEST(CabDriverSetUp, AnAdapterWithoutAnAddressFailsBeforeAnyThreadStarts) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    asio::io_context io;
    try {
        weak_cab_driver("nosuch0", mac_address{}).open(io);
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unable to get MAC address for nosuch0");
    }
    EXPECT_EQ(log.count("CAB read thread"), 0u);
    EXPECT_EQ(log.count("driver destroyed"), 1u);
}

}  // namespace
}  // namespace kestd::driver::cab
