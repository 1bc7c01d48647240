#include "client/device_list.hpp"

#include <algorithm>
#include <stdexcept>

#include "client/tokens.hpp"

namespace kest {

namespace asio = boost::asio;

namespace {

device_entry parse_line(std::string_view line) {
    const auto tokens = split_blanks(line);
    boost::system::error_code ec;
    const auto address = tokens.size() == 3 ? asio::ip::make_address(std::string(tokens[1]), ec)
                                            : asio::ip::address();
    const auto port = tokens.size() == 3 ? parse_port(tokens[2]) : std::nullopt;
    if (tokens.size() != 3 || tokens[0].empty() || ec || !port) {
        throw std::runtime_error("unexpected line in the device list: '" + std::string(line) + "'");
    }
    return {std::string(tokens[0]), {address, *port}};
}

}  // namespace

std::vector<device_entry> parse_device_list(std::string_view reply) {
    std::vector<device_entry> devices;
    while (!reply.empty()) {
        const auto end = std::min(reply.find('\n'), reply.size());
        devices.push_back(parse_line(reply.substr(0, end)));
        reply.remove_prefix(std::min(end + 1, reply.size()));
    }
    return devices;
}

std::optional<device_entry> find_device(const std::vector<device_entry>& devices,
                                        std::string_view serial) {
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const device_entry& d) { return d.serial == serial; });
    if (it == devices.end()) return std::nullopt;
    return *it;
}

std::string device_table(std::vector<device_entry> devices) {
    std::sort(devices.begin(), devices.end(),
              [](const device_entry& a, const device_entry& b) { return a.serial < b.serial; });
    std::size_t width = std::string_view("SERIAL").size();
    for (const auto& d : devices) width = std::max(width, d.serial.size());

    const auto row = [width](std::string_view first, std::string_view second) {
        std::string line(first);
        line.append(width - first.size() + 2, ' ');
        line.append(second);
        line += '\n';
        return line;
    };
    std::string table = row("SERIAL", "RPC ENDPOINT");
    for (const auto& d : devices) table += row(d.serial, to_text(d.rpc));
    return table;
}

std::string to_text(const asio::ip::udp::endpoint& endpoint) {
    return endpoint.address().to_string() + ':' + std::to_string(endpoint.port());
}

}  // namespace kest
