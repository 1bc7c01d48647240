#include "driver/tcp/discovery_addresses.hpp"

#include <gtest/gtest.h>

namespace kestd::driver::tcp {
namespace {

network_adapter adapter(const char* name, const char* ipv4, std::array<std::uint8_t, 6> hardware = {0x02, 0, 0, 0, 0, 1}) {
    network_adapter a;
    a.name = name;
    a.ethernet = true;
    a.up = true;
    a.hardware = hardware;
    if (ipv4) a.ipv4 = boost::asio::ip::make_address_v4(ipv4);
    return a;
}

const std::array<std::uint8_t, 3> oui = {0xCA, 0x5D, 0x00};

TEST(SelectDiscoveryAddresses, TakesUsableEthernetInOrderThenLoopback) {
    auto wireless = adapter("wlan0", "192.168.1.5");
    wireless.wireless = true;
    auto down = adapter("eth2", "10.2.0.1");
    down.up = false;
    auto loopback = adapter("lo", "127.0.0.1");
    loopback.ethernet = false;
    const std::vector<network_adapter> adapters = {
        adapter("eth1", "10.1.0.1"),
        wireless,
        adapter("eth0", "10.0.0.1"),
        down,
        adapter("veth9", nullptr),
        adapter("own", "10.3.0.1", {0xCA, 0x5D, 0x00, 0x12, 0x34, 0x56}),
        adapter("almost", "10.4.0.1", {0xCA, 0x5D, 0x01, 0x12, 0x34, 0x56}),
        loopback,
    };
    EXPECT_EQ(select_discovery_addresses(adapters, oui),
              (std::vector<std::string>{"10.1.0.1", "10.0.0.1", "10.4.0.1", "127.0.0.1"}));
}

TEST(SelectDiscoveryAddresses, LoopbackIsAskedEvenWithoutUsableAdapters) {
    auto wireless = adapter("wlan0", "192.168.1.5");
    wireless.wireless = true;
    EXPECT_EQ(select_discovery_addresses({wireless}, oui), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(select_discovery_addresses({}, oui), std::vector<std::string>{"127.0.0.1"});
}

TEST(MakerOui, IsTheBuildSetting) {
    const std::string text = KESTD_MAKER_OUI;
    const auto bytes = maker_oui();
    char printed[7];
    std::snprintf(printed, sizeof printed, "%02X%02X%02X", bytes[0], bytes[1], bytes[2]);
    EXPECT_EQ(printed, text);
}

}  // namespace
}  // namespace kestd::driver::tcp
