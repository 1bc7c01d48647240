#include "support/stream_checks.hpp"

#include <boost/asio/read.hpp>
#include <thread>
#include <vector>

namespace kestd::test {

namespace asio = boost::asio;

std::string pattern(std::size_t n, std::size_t start) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((start + i) % 251);
    return s;
}

std::string receive(asio::ip::tcp::socket& socket, std::size_t n) {
    std::string s(n, '\0');
    asio::read(socket, asio::buffer(s));
    return s;
}

bool ended_by_server(asio::ip::tcp::socket& socket, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    socket.non_blocking(true);
    std::vector<char> sink(65536);
    while (std::chrono::steady_clock::now() < deadline) {
        boost::system::error_code ec;
        socket.read_some(asio::buffer(sink), ec);
        if (ec == asio::error::would_block) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (ec) return true;
    }
    return false;
}

bool in_order(const std::string& bytes) {
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        if (static_cast<unsigned char>(bytes[i]) !=
            (static_cast<unsigned char>(bytes[i - 1]) + 1) % 251) {
            return false;
        }
    }
    return true;
}

}  // namespace kestd::test
