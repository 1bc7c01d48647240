#include "driver/serial_port/port_rule.hpp"

#include <gtest/gtest.h>

#include "driver/serial_port/weak_serial_port_driver.hpp"

namespace kestd::driver::serial_port {
namespace {

constexpr const char* prefix = "USB\\VID_CA5D";  // the rule takes the prefix; any vendor will do

TEST(SerialText, TakesSixCharactersAfterTheLastBackslash) {
    EXPECT_EQ(serial_text("USB\\VID_CA5D&PID_0001\\AB12CD", prefix), "AB12CD");
    EXPECT_EQ(serial_text("USB\\VID_CA5D&PID_0001\\AB12CD99", prefix), "AB12CD");
    EXPECT_EQ(serial_text("USB\\VID_CA5D&PID_0001\\x\\123456", prefix), "123456");
    EXPECT_EQ(serial_text("USB\\VID_CA5D&PID_0001\\AB12C", prefix), std::nullopt);
    EXPECT_EQ(serial_text("USB\\VID_CA5D&PID_0001\\", prefix), std::nullopt);
}

TEST(SerialText, PrefixMustMatchExactly) {
    EXPECT_EQ(serial_text("usb\\vid_CA5D&PID_0001\\AB12CD", prefix), std::nullopt);
    EXPECT_EQ(serial_text("USB\\VID_ca5d&PID_0001\\AB12CD", prefix), std::nullopt);
    EXPECT_EQ(serial_text("USB\\VID_1234&PID_0001\\AB12CD", prefix), std::nullopt);
    EXPECT_EQ(serial_text("USB\\VID_CA5", prefix), std::nullopt);
    EXPECT_EQ(serial_text("", prefix), std::nullopt);
}

TEST(ConsiderPort, KeepsTheFirstPortOfEachValidSerial) {
    found_device_map found;
    consider_port(found, "USB\\VID_CA5D&PID_0001\\AB12CD", "/dev/ttyACM0", prefix);
    consider_port(found, "USB\\VID_CA5D&PID_0002\\AB12CD", "/dev/ttyACM1", prefix);
    consider_port(found, "USB\\VID_CA5D&PID_0001\\000001", "/dev/ttyACM2", prefix);  // invalid
    consider_port(found, "USB\\VID_CA5D&PID_0001\\ab12cd", "/dev/ttyACM3", prefix);
    consider_port(found, "USB\\VID_CA5D&PID_0001\\123456", "", prefix);  // nothing to open
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found.at("AB12CD")->name(), "serial_port");
    EXPECT_EQ(dynamic_cast<weak_serial_port_driver&>(*found.at("AB12CD")).port(), "/dev/ttyACM0");
    EXPECT_EQ(dynamic_cast<weak_serial_port_driver&>(*found.at("ab12cd")).port(), "/dev/ttyACM3");
}

TEST(InstanceIdPrefix, NamesTheBuildsVendorInUpperCase) {
    EXPECT_EQ(instance_id_prefix(), std::string("USB\\VID_") + KESTD_USB_VENDOR_ID);
    EXPECT_EQ(instance_id_prefix().size(), 12u);
}

}  // namespace
}  // namespace kestd::driver::serial_port
