#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "cab_frames.hpp"
#include "device_player.hpp"

namespace kest::sim::cab {

using time_point = std::chrono::steady_clock::time_point;

// Mistakes a device makes on purpose, so the host's handling of them can be tried. Whatever
// the host should keep still arrives intact, except where lose_middle takes a fragment away.
struct faults {
    bool wrong_sequence = false;  // a stray last fragment with another sequence number
    bool short_frames = false;    // a frame of 23 down to 14 bytes before the message
    bool padded = false;          // every frame padded with zeros to 60 bytes
    bool foreign = false;         // a one-frame message of garbage from another MAC address
    bool lose_middle = false;     // the middle fragment of three or more is not sent
    unsigned every = 4;           // stray, short and foreign frames come with every Nth message
};

struct device_settings {
    std::string name;       // as log lines show it and commands name it
    std::uint64_t value{};  // the serial number of form A
    std::string text;       // the serial text of form B, 1 to 6 bytes
    bool form_a = true;
    bool form_b = true;
    mac_address mac{};
    behaviour what = behaviour::echo;
    double rate = 0;  // stream bytes per second; 0 is flat out
    std::size_t message = 1024;
    std::size_t fragment = 1486;
    cab::faults faults;
};

// Writes "kest-sim: " and the line to standard output, at once.
void say(const std::string& line);

// One simulated device on a shared link: answers queries, takes data frames for its address
// and makes the frames it sends one at a time, so a send that must wait is simply made again.
class device {
public:
    // `max_frame` is the longest frame the link carries, header included.
    device(device_settings settings, std::size_t max_frame);

    const device_settings& settings() const { return settings_; }
    bool plugged() const { return plugged_; }
    // Whether a frame to `destination` is for this device.
    bool accepts(const mac_address& destination) const;

    void receive(const header& h, const std::uint8_t* frame, std::size_t size, time_point now,
                 bool log_frames);

    // Writes the next frame to send at `frame` (room for max_frame bytes) and returns its
    // size, or 0 when nothing is due at `now`. Until sent() it writes the same frame again.
    std::size_t next_frame(std::uint8_t* frame, time_point now);
    void sent();

    // When the device has something to send: time_point::min() for at once, nothing
    // while it waits for a frame from the host.
    std::optional<time_point> due() const;

    // An unplugged device ignores everything and forgets what it was doing.
    void unplug();
    void plug();
    void set_answering(bool answering) { answering_ = answering; }

private:
    enum class part { short_frame, foreign_frame, fragment, stray, done };
    struct reply {
        bool form_a;
        mac_address to;
    };
    struct echo_slot {
        mac_address to{};
        std::size_t size = 0;
        std::vector<std::uint8_t> bytes;
    };

    void reset();
    bool start_message(time_point now);
    void skip_parts();
    std::size_t write_part(std::uint8_t* frame);
    std::size_t pad(std::uint8_t* frame, std::size_t size) const;

    device_settings settings_;
    mac_address foreign_mac_{};
    bool plugged_ = true;
    bool answering_ = true;
    std::deque<reply> replies_;

    std::vector<echo_slot> echoes_;  // a ring of received payloads waiting to go back
    std::size_t echo_head_ = 0, echo_count_ = 0;
    bool echo_overflow_ = false;

    bool streaming_ = false;
    bool restart_ = false;  // the next stream message starts again at p = 0
    mac_address stream_to_{};
    std::uint64_t position_ = 0;  // p of the next stream message's first byte
    std::uint16_t last_sequence_ = 0;
    time_point paced_until_{};

    // The message being sent.
    bool in_flight_ = false;
    bool from_echo_ = false;
    bool faulty_ = false;
    const std::uint8_t* payload_ = nullptr;
    std::size_t size_ = 0, fragments_ = 0, index_ = 0;
    mac_address to_{};
    std::uint16_t sequence_ = 0;
    part part_ = part::done;

    std::uint16_t next_sequence_ = 0;
    std::uint64_t messages_ = 0;
    unsigned shorts_ = 0;
};

}  // namespace kest::sim::cab
