#pragma once

#include <string_view>
#include <vector>

namespace kestd {

// Splits request text at every single blank: two blanks in a row give an empty token, and
// nothing else (tab, CR, LF) separates. Empty text gives one empty token.
std::vector<std::string_view> split_tokens(std::string_view text);

// Request text is the datagram up to its first zero byte.
std::string_view request_text(const char* data, std::size_t size);

}  // namespace kestd
