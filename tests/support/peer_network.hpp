#pragma once

#include <string>
#include <vector>

namespace kestd::test {

// Another network namespace joined to the test's own by veth pairs: the network a simulated
// device lives on. Needs enter_private_network. Everything goes when the object does.
class peer_network {
public:
    // Throws std::runtime_error when the namespace cannot be made.
    explicit peer_network(std::string name);
    ~peer_network();
    peer_network(const peer_network&) = delete;
    peer_network& operator=(const peer_network&) = delete;

    // A veth pair: `local` in the test's network with `local_cidr`, `peer` here with
    // `peer_cidr`, both up. `local_mac` sets the local end's hardware address. An empty CIDR
    // leaves that end without an IP address (raw-frame links need none).
    void link(const std::string& local, const std::string& local_cidr, const std::string& peer,
              const std::string& peer_cidr, const std::string& local_mac = "");

    // `argv` run inside this network.
    std::vector<std::string> command(std::vector<std::string> argv) const;

    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::vector<std::string> local_links_;
};

// Runs a shell command; throws std::runtime_error with it when it fails.
void run_command(const std::string& command);

}  // namespace kestd::test
