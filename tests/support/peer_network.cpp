#include "support/peer_network.hpp"

#include <cstdlib>
#include <stdexcept>

namespace kestd::test {

void run_command(const std::string& command) {
    if (std::system((command + " >/dev/null").c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

peer_network::peer_network(std::string name) : name_(std::move(name)) {
    run_command("ip netns add " + name_);
    run_command("ip -n " + name_ + " link set lo up");
}

peer_network::~peer_network() {
    for (const auto& local : local_links_) {
        [[maybe_unused]] int ignored =
            std::system(("ip link del " + local + " 2>/dev/null").c_str());
    }
    [[maybe_unused]] int ignored = std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
}

void peer_network::link(const std::string& local, const std::string& local_cidr,
                        const std::string& peer, const std::string& peer_cidr,
                        const std::string& local_mac) {
    run_command("ip link add " + local + " type veth peer name " + peer + " netns " + name_);
    local_links_.push_back(local);
    if (!local_mac.empty()) run_command("ip link set " + local + " address " + local_mac);
    if (!local_cidr.empty()) run_command("ip addr add " + local_cidr + " dev " + local);
    run_command("ip link set " + local + " up");
    if (!peer_cidr.empty())
        run_command("ip -n " + name_ + " addr add " + peer_cidr + " dev " + peer);
    run_command("ip -n " + name_ + " link set " + peer + " up");
}

std::vector<std::string> peer_network::command(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"ip", "netns", "exec", name_});
    return argv;
}

}  // namespace kestd::test
