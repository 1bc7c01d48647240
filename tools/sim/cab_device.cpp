#include "cab_device.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace kest::sim::cab {

namespace {

constexpr std::size_t period = 251;
constexpr std::size_t max_message = 65535;
constexpr std::size_t echo_backlog = 256;  // received payloads waiting; more are dropped
constexpr std::size_t max_replies = 16;
constexpr std::size_t garbage_size = 16;  // payload of stray and foreign frames
constexpr std::uint8_t garbage = 0xEE;
// A paced stream makes up this much lateness (a poll waking late), and no more.
constexpr auto pacing_slack = std::chrono::milliseconds(1);

// b[p] = p % 251 with a period's slack, so any message is one slice of it.
const std::uint8_t* stream_pattern() {
    static const std::vector<std::uint8_t> pattern = [] {
        std::vector<std::uint8_t> p(max_message + period);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i % period);
        return p;
    }();
    return pattern.data();
}

}  // namespace

void say(const std::string& line) { std::cout << "kest-sim: " << line << std::endl; }

device::device(device_settings settings, std::size_t max_frame)
    : settings_(std::move(settings)), echoes_(echo_backlog) {
    foreign_mac_ = settings_.mac;
    foreign_mac_[3] ^= 0xFF;
    for (auto& slot : echoes_) slot.bytes.resize(max_frame);
    stream_pattern();
}

bool device::accepts(const mac_address& destination) const {
    return plugged_ && (destination == settings_.mac || destination == broadcast);
}

void device::receive(const header& h, const std::uint8_t* frame, std::size_t size, time_point now,
                     bool log_frames) {
    if (!plugged_) return;
    if (const auto code = query_code(h, frame, size)) {
        const bool a = *code == query_a && settings_.form_a;
        const bool b = *code == query_b && settings_.form_b;
        if (answering_ && (a || b) && replies_.size() < max_replies)
            replies_.push_back({a, h.source});
        return;
    }
    if (h.kind != data_kind || h.destination != settings_.mac) return;
    const std::size_t payload = std::min<std::size_t>(h.length, size - header_size);
    if (log_frames) {
        std::string line = "cab frame " + settings_.name + " seq " + std::to_string(h.sequence) +
                           " len " + std::to_string(h.length);
        // Only what is out of the ordinary: a frame of another size, flags other than 0x03.
        if (size != h.length + header_size) line += " frame " + std::to_string(size);
        if (h.flags != (first_fragment | last_fragment)) {
            char flags[8];
            std::snprintf(flags, sizeof flags, "0x%02x", h.flags);
            line += std::string(" flags ") + flags;
        }
        say(line);
    }
    switch (settings_.what) {
        case behaviour::echo: {
            if (payload == 0) break;
            if (echo_count_ == echoes_.size()) {
                if (!echo_overflow_)
                    std::cerr << "kest-sim: " << settings_.name
                              << ": echo backlog full, dropping frames\n";
                echo_overflow_ = true;
                break;
            }
            echo_overflow_ = false;
            echo_slot& slot = echoes_[(echo_head_ + echo_count_++) % echoes_.size()];
            slot.to = h.source;
            slot.size = std::min(payload, slot.bytes.size());
            std::memcpy(slot.bytes.data(), frame + header_size, slot.size);
            break;
        }
        case behaviour::stream:
            // The first frame starts the stream; a newly opened driver's first frame (sequence
            // number 0, not after 65535) starts it again from p = 0.
            if (!streaming_ || (h.sequence == 0 && last_sequence_ != 0xFFFF)) {
                restart_ = true;
                if (!streaming_) paced_until_ = now;
                streaming_ = true;
                say(settings_.name + " streams to " + mac_text(h.source));
            }
            stream_to_ = h.source;
            break;
        case behaviour::silent:
            break;
    }
    last_sequence_ = h.sequence;
}

std::optional<time_point> device::due() const {
    if (!plugged_) return std::nullopt;
    if (!replies_.empty() || in_flight_ || echo_count_ > 0) return time_point::min();
    if (streaming_) return settings_.rate > 0 ? paced_until_ : time_point::min();
    return std::nullopt;
}

std::size_t device::next_frame(std::uint8_t* frame, time_point now) {
    if (!plugged_) return 0;
    if (!replies_.empty()) {
        const reply& r = replies_.front();
        const std::size_t size = r.form_a
                                     ? write_reply_a(frame, r.to, settings_.mac, settings_.value)
                                     : write_reply_b(frame, r.to, settings_.mac, settings_.text);
        return pad(frame, size);
    }
    if (!in_flight_ && !start_message(now)) return 0;
    return write_part(frame);
}

void device::sent() {
    if (!replies_.empty()) {
        const reply r = replies_.front();
        replies_.pop_front();
        say(std::string("answered query ") + (r.form_a ? "A" : "B") + " from " + mac_text(r.to) +
            " as " + settings_.name);
        return;
    }
    if (!in_flight_) return;
    switch (part_) {
        case part::short_frame:
            ++shorts_, part_ = part::foreign_frame;
            break;
        case part::foreign_frame:
            part_ = part::fragment;
            break;
        case part::fragment:
            if (index_++ == 0) part_ = part::stray;
            break;
        case part::stray:
            part_ = part::fragment;
            break;
        case part::done:
            break;
    }
    skip_parts();
    if (part_ != part::done) return;
    in_flight_ = false;
    if (from_echo_) {
        echo_head_ = (echo_head_ + 1) % echoes_.size();
        --echo_count_;
    } else {
        position_ += size_;
    }
}

// Takes the next message, if one is due: an echo first, else the stream's next.
bool device::start_message(time_point now) {
    if (echo_count_ > 0) {
        const echo_slot& slot = echoes_[echo_head_];
        from_echo_ = true;
        payload_ = slot.bytes.data();
        size_ = slot.size;
        to_ = slot.to;
    } else if (streaming_) {
        if (settings_.rate > 0) {
            if (now < paced_until_) return false;
            // Lateness beyond the slack is forgiven, not made up in a burst.
            paced_until_ = std::max(paced_until_, now - pacing_slack) +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(
                                   static_cast<double>(settings_.message) / settings_.rate));
        }
        if (restart_) position_ = 0;
        restart_ = false;
        from_echo_ = false;
        payload_ = stream_pattern() + position_ % period;
        size_ = settings_.message;
        to_ = stream_to_;
    } else {
        return false;
    }
    in_flight_ = true;
    faulty_ = messages_++ % settings_.faults.every == 0;
    sequence_ = next_sequence_++;
    fragments_ = (size_ + settings_.fragment - 1) / settings_.fragment;
    index_ = 0;
    part_ = part::short_frame;
    skip_parts();
    return true;
}

// Moves past the parts this message goes without.
void device::skip_parts() {
    const faults& f = settings_.faults;
    if (part_ == part::short_frame && !(faulty_ && f.short_frames)) part_ = part::foreign_frame;
    if (part_ == part::foreign_frame && !(faulty_ && f.foreign)) part_ = part::fragment;
    if (part_ == part::stray && !(faulty_ && f.wrong_sequence)) part_ = part::fragment;
    if (part_ == part::fragment && f.lose_middle && fragments_ >= 3 && index_ == fragments_ / 2)
        ++index_;
    if (part_ == part::fragment && index_ >= fragments_) part_ = part::done;
}

std::size_t device::write_part(std::uint8_t* frame) {
    const mac_address& mac = settings_.mac;
    const auto whole = static_cast<std::uint16_t>(size_);
    switch (part_) {
        case part::short_frame:
            // What the first fragment's header would be, cut short.
            write_header(frame, to_, mac, whole, sequence_, first_fragment | last_fragment);
            return header_size - 1 - shorts_ % 10;
        case part::foreign_frame:
        case part::stray: {
            const bool stray = part_ == part::stray;
            write_header(frame, to_, stray ? mac : foreign_mac_, garbage_size,
                         stray ? static_cast<std::uint16_t>(sequence_ ^ 0x8000) : sequence_,
                         stray ? last_fragment : first_fragment | last_fragment);
            std::memset(frame + header_size, garbage, garbage_size);
            return pad(frame, header_size + garbage_size);
        }
        case part::fragment: {
            const std::size_t offset = index_ * settings_.fragment;
            const std::size_t length = std::min(settings_.fragment, size_ - offset);
            std::uint8_t flags = 0;
            if (index_ == 0) flags |= first_fragment;
            if (index_ + 1 == fragments_) flags |= last_fragment;
            write_header(frame, to_, mac, index_ == 0 ? whole : static_cast<std::uint16_t>(length),
                         sequence_, flags);
            std::memcpy(frame + header_size, payload_ + offset, length);
            return pad(frame, header_size + length);
        }
        case part::done:
            break;
    }
    return 0;
}

std::size_t device::pad(std::uint8_t* frame, std::size_t size) const {
    if (!settings_.faults.padded || size >= ethernet_minimum) return size;
    std::memset(frame + size, 0, ethernet_minimum - size);
    return ethernet_minimum;
}

void device::reset() {
    replies_.clear();
    echo_head_ = echo_count_ = 0;
    echo_overflow_ = false;
    streaming_ = restart_ = false;
    position_ = 0;
    last_sequence_ = 0;
    in_flight_ = false;
    part_ = part::done;
    next_sequence_ = 0;
    messages_ = 0;
    shorts_ = 0;
}

void device::unplug() {
    plugged_ = false;
    reset();
}

void device::plug() {
    plugged_ = true;
    answering_ = true;
}

}  // namespace kest::sim::cab
