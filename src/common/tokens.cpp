#include "common/tokens.hpp"

#include <cstring>

namespace kestd {

std::vector<std::string_view> split_tokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    for (;;) {
        const std::size_t blank = text.find(' ', start);
        if (blank == std::string_view::npos) {
            tokens.push_back(text.substr(start));
            return tokens;
        }
        tokens.push_back(text.substr(start, blank - start));
        start = blank + 1;
    }
}

std::string_view request_text(const char* data, std::size_t size) {
    const void* zero = std::memchr(data, 0, size);
    return {data, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : size};
}

}  // namespace kestd
