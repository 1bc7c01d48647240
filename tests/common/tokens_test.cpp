#include "common/tokens.hpp"

#include <gtest/gtest.h>

#include "common/printable.hpp"

namespace kestd {
namespace {

using tokens = std::vector<std::string_view>;
using namespace std::string_literals;

TEST(SplitTokens, SplitsAtEverySingleBlankOnly) {
    EXPECT_EQ(split_tokens(""), tokens{""});
    EXPECT_EQ(split_tokens("2 version"), (tokens{"2", "version"}));
    EXPECT_EQ(split_tokens("2  version"), (tokens{"2", "", "version"}));
    EXPECT_EQ(split_tokens(" 2 "), (tokens{"", "2", ""}));
    EXPECT_EQ(split_tokens("2\tversion\r\n x"), (tokens{"2\tversion\r\n", "x"}));
}

TEST(RequestText, EndsAtTheFirstZeroByte) {
    const std::string data = "2 version\0 find"s;
    EXPECT_EQ(request_text(data.data(), data.size()), "2 version");
    EXPECT_EQ(request_text(data.data(), 5), "2 ver");
    EXPECT_EQ(request_text(data.data(), 0), "");
}

TEST(Printable, EscapesWhatCouldBreakALogLine) {
    EXPECT_EQ(printable("2 version"), "2 version");
    EXPECT_EQ(printable("a\r\nb\tc\\"), "a\\r\\nb\\tc\\\\");
    EXPECT_EQ(printable("\x01\x7f\xff"s), "\\x01\\x7f\\xff");
}

}  // namespace
}  // namespace kestd
