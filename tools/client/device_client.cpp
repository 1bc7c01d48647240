#include "client/device_client.hpp"

#include "client/request_client.hpp"
#include "client/tokens.hpp"

namespace kest {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

const char* const api_version = "2";

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

client_error unexpected(std::string_view request, std::string_view reply) {
    return {failure::bad_reply,
            "unexpected reply to " + quoted(request) + " from kestd: " + quoted(reply)};
}

}  // namespace

std::string rpc_request(std::string_view command, const std::vector<std::string>& arguments) {
    std::string request = api_version;
    request.append(" ").append(command);
    for (const auto& argument : arguments) request.append(" ").append(argument);
    return request;
}

std::optional<tcp::endpoint> parse_open_reply(std::string_view reply) {
    if (reply == "0") return std::nullopt;
    const auto tokens = split_blanks(reply);
    boost::system::error_code ec;
    const auto address = tokens.size() == 2 ? asio::ip::make_address(std::string(tokens[0]), ec)
                                            : asio::ip::address();
    const auto port = tokens.size() == 2 ? parse_port(tokens[1]) : std::nullopt;
    if (tokens.size() != 2 || ec || !port) throw unexpected(rpc_request("open", {}), reply);
    return tcp::endpoint(address, *port);
}

std::string device_client::version() { return ask_landing(rpc_request("version", {})); }

std::string device_client::find_raw() { return ask_landing(rpc_request("find", {})); }

std::vector<device_entry> device_client::find() {
    const std::string reply = find_raw();
    try {
        return parse_device_list(reply);
    } catch (const std::runtime_error& e) {
        throw client_error(failure::bad_reply, e.what());
    }
}

device_entry device_client::locate(std::string_view serial) {
    if (auto device = find_device(find(), serial)) return *device;
    throw client_error(failure::no_such_device, "no such device: " + std::string(serial));
}

std::string device_client::call(const device_entry& device, std::string_view command,
                                const std::vector<std::string>& arguments) {
    return ask_device(device, rpc_request(command, arguments), timeouts_.request);
}

tcp::socket device_client::open(asio::io_context& io, const device_entry& device) {
    const auto listener =
        parse_open_reply(ask_device(device, rpc_request("open", {}), timeouts_.open));
    const std::string cannot = "device " + device.serial + " could not be opened";
    if (!listener) throw client_error(failure::not_opened, cannot);
    tcp::socket socket(io);
    boost::system::error_code ec;
    socket.connect(*listener, ec);
    if (ec) {
        throw client_error(failure::not_opened,
                           cannot + ": connecting to " + listener->address().to_string() + ":" +
                               std::to_string(listener->port()) + " failed: " + ec.message());
    }
    return socket;
}

std::string device_client::ask_landing(std::string_view request) {
    request_client client(timeouts_.request);
    if (auto reply = client.request(landing_endpoint(), request)) return *reply;
    throw client_error(failure::no_answer, "no answer from kestd at " +
                                               to_text(landing_endpoint()) + " within " +
                                               std::to_string(timeouts_.request.count()) +
                                               " ms; is the server running?");
}

std::string device_client::ask_device(const device_entry& device, std::string_view request,
                                      std::chrono::milliseconds timeout) {
    request_client client(timeout);
    if (auto reply = client.request(device.rpc, request)) return *reply;
    throw client_error(failure::no_answer, "no answer from kestd for device " + device.serial +
                                               " at " + to_text(device.rpc) + " within " +
                                               std::to_string(timeout.count()) +
                                               " ms; is the server running?");
}

}  // namespace kest
