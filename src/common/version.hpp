#pragma once

namespace kestd {

inline constexpr const char* server_name = "Kestd";
inline constexpr const char* server_version = "26.3.0";
// The landing protocol version clients must put first in every request.
inline constexpr const char* api_version = "2";

}  // namespace kestd
