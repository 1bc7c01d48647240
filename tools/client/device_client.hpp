#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "client/device_list.hpp"

namespace kest {

// How a request to kestd failed; kest gives each its own exit code.
enum class failure {
    no_answer,       // the landing or a device's RPC endpoint stayed silent
    bad_reply,       // a reply that does not fit the request
    no_such_device,  // the serial is not in the device list
    not_opened,      // the device refused the open, or its listener the connection
};

class client_error : public std::runtime_error {
public:
    client_error(failure kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    failure kind() const { return kind_; }

private:
    failure kind_;
};

// The request text for a device RPC command: API version, command, then the arguments.
std::string rpc_request(std::string_view command, const std::vector<std::string>& arguments);

// The listener an open reply names, or nothing when the device could not be opened ("0").
// Throws client_error (bad_reply) for any other reply.
std::optional<boost::asio::ip::tcp::endpoint> parse_open_reply(std::string_view reply);

struct client_timeouts {
    std::chrono::milliseconds request{2000};
    // Opening waits while the server discovers the device, which can take several attempts.
    std::chrono::milliseconds open{10000};
};

// Talks to kestd: the landing's version and device list, and each device's RPC endpoint.
// Every failure is thrown as client_error.
class device_client {
public:
    explicit device_client(client_timeouts timeouts = {}) : timeouts_(timeouts) {}

    std::string version();
    std::string find_raw();  // the find reply as it came
    std::vector<device_entry> find();
    device_entry locate(std::string_view serial);

    // The reply to one RPC command such as lock or load; open has its own function.
    std::string call(const device_entry& device, std::string_view command,
                     const std::vector<std::string>& arguments);

    // Opens the device and connects to the one-shot listener its reply names.
    boost::asio::ip::tcp::socket open(boost::asio::io_context& io, const device_entry& device);

private:
    std::string ask_landing(std::string_view request);
    std::string ask_device(const device_entry& device, std::string_view request,
                           std::chrono::milliseconds timeout);

    client_timeouts timeouts_;
};

}  // namespace kest
