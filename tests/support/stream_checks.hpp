#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <string>

namespace kestd::test {

// `n` bytes of the devices' test sequence b[p] = p % 251, from position `start`.
std::string pattern(std::size_t n, std::size_t start = 0);

// Reads exactly `n` bytes.
std::string receive(boost::asio::ip::tcp::socket& socket, std::size_t n);

// True when the server ends the connection within the timeout (what arrives is discarded).
bool ended_by_server(boost::asio::ip::tcp::socket& socket,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Every byte of a stream device's output is the successor of the one before.
bool in_order(const std::string& bytes);

}  // namespace kestd::test
