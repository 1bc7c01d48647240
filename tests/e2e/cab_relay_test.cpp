// kestd with the CAB transport, end to end: simulated devices on veth links, found by
// "find", opened and relayed by the real binaries.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/kestd_server.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

using namespace std::chrono_literals;

TEST(CabEndToEnd, OnByDefaultAndQuietWithoutAdapters) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    kestd_server server({"--no-serial-port", "--no-dxx"});
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(ask_landing("2 find"), "");
    server.process().signal(SIGINT);
    EXPECT_EQ(server.process().wait(), 0);
    const std::string log = server.log();
    EXPECT_EQ(lines_with(log, "CAB driver: 1").size(), 1u) << log;
    EXPECT_TRUE(lines_with(log, "[cab]").empty()) << "loopback is never opened:\n" << log;
}

}  // namespace
}  // namespace kestd::test
