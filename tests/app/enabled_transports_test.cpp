#include "app/enabled_transports.hpp"

#include <gtest/gtest.h>

namespace kestd {
namespace {

TEST(EnabledTransports, FollowTheSettings) {
    config cfg;
    cfg.tcp = cfg.cab = cfg.dxx = cfg.serial_port = false;
    const auto none = enabled_transports(cfg);
    EXPECT_FALSE(none.serial_port || none.dxx || none.tcp || none.cab);
    cfg.serial_port = true;
    cfg.tcp = true;
    const auto some = enabled_transports(cfg);
    EXPECT_TRUE(some.serial_port && some.tcp);
    EXPECT_FALSE(some.dxx || some.cab);
    cfg.cab = true;
    EXPECT_TRUE(enabled_transports(cfg).cab);
}

}  // namespace
}  // namespace kestd
