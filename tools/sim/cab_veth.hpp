#pragma once

#include <string>

namespace kest::sim::cab {

// A veth pair for trying the devices out: the host end NAME stays in the caller's network
// namespace, the device end NAME-dev goes up in a namespace of its own, where nothing else
// sees it. That namespace has no name and lives as long as something holds it (this object,
// or a socket opened inside it), so nothing is left behind even if the process is killed;
// the destructor removes the pair at once.
class veth {
public:
    // Throws std::runtime_error when the pair cannot be made.
    explicit veth(const std::string& name);
    ~veth();
    veth(const veth&) = delete;
    veth& operator=(const veth&) = delete;

    const std::string& host_end() const { return host_end_; }
    const std::string& device_end() const { return device_end_; }

    // Moves the calling thread into the device end's namespace; leave() moves it back.
    void enter() const;
    void leave() const;

private:
    std::string host_end_, device_end_;
    int own_ns_ = -1;
    int device_ns_ = -1;
    bool created_ = false;
};

// Whether `name` will do for a pair: NAME-dev must be a valid interface name.
bool valid_veth_name(const std::string& name);

}  // namespace kest::sim::cab
