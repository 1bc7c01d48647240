#pragma once

#include <string>
#include <string_view>

namespace kestd {

// Request text comes from any local program; escaping control bytes keeps one request
// from forging or breaking lines in the log.
std::string printable(std::string_view text);

}  // namespace kestd
