#include "driver/is_valid_serial.hpp"

#include <gtest/gtest.h>

namespace kestd::driver {
namespace {

TEST(IsValidSerial, AcceptsTheFamilyRanges) {
    for (const char* serial :
         {"50000", "89999", "120000", "199999", "050000", "0000120000", "A0000", "a0000", "ZZZZZZ",
          "zzzzzz", "10000A", "AB12CD", "A0000-rev2", "A0000_~!", "123456"}) {
        EXPECT_TRUE(is_valid_serial(serial)) << serial;
    }
}

TEST(IsValidSerial, RejectsEverythingElse) {
    for (const char* serial :
         {"", "49999", "90000", "119999", "200000", "100000", "9999", "9ZZZZ", "0A000", "1ZZZZ",
          "ZZZZZZ1", "1000000", "-A0000", "50000-", " A0000", "1ZZZZZZ", "ZZZZZZZZZZZZ",
          "4294967296", "00000000000000000000000000000000001"}) {
        EXPECT_FALSE(is_valid_serial(serial)) << serial;
    }
}

TEST(IsValidSerial, RejectsBytesThatWouldBreakTheDeviceList) {
    // Only the leading base-36 part decides the value; the bytes after it still go onto the
    // wire, where a blank or a line end would split the list's lines for every client.
    using namespace std::string_literals;
    for (const std::string& serial :
         {"A0000 "s, "A0000 rev2"s, "A0000\n"s, "A0000\r"s, "A0000\t"s, "A0000\0"s, "A0000\x7f"s,
          "A0000\x80"s, "A0000\xff"s, "12345\n"s + "6"}) {
        EXPECT_FALSE(is_valid_serial(serial)) << serial;
    }
}

TEST(IsValidSerial, OverflowIsCheckedBeyond32Bits) {
    // 1Z141Z3 is 4,294,967,295 in base 36 (valid range is exceeded, but no overflow);
    // 1Z141Z4 is one more and must not wrap around into the accepted range.
    EXPECT_FALSE(is_valid_serial("1Z141Z3"));
    EXPECT_FALSE(is_valid_serial("1Z141Z4"));
    // A value that wraps to a valid one modulo 2^32 must still be rejected.
    EXPECT_FALSE(is_valid_serial("1Z141Z4A0000"));
}

}  // namespace
}  // namespace kestd::driver
