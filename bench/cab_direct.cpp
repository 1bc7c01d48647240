// The direct path the CAB relay benchmark compares kestd with: the same device frames captured
// with libpcap on the same interface by one process, with nothing relayed.
//
//   cab_direct stream IF DEVICE_MAC SECONDS [WARMUP]  starts a stream device and reads it
//   cab_direct echo IF DEVICE_MAC COUNT SIZE          round trips with an echo device
//
// stream prints "direct bytes=N secs=S MBps=R gaps=G" (a gap: a byte that is not the
// successor of the one before in b[p] = p % 251, or a message cut short); echo prints
// "echo count=N size=B p50_us=X p99_us=Y".
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "cab_direct: %s\n", what.c_str());
    std::exit(1);
}

std::vector<std::uint8_t> parse_mac(const std::string& text) {
    unsigned b[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
        6)
        fail("bad MAC " + text);
    return {std::uint8_t(b[0]), std::uint8_t(b[1]), std::uint8_t(b[2]),
            std::uint8_t(b[3]), std::uint8_t(b[4]), std::uint8_t(b[5])};
}

std::vector<std::uint8_t> hardware_address(const std::string& interface) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) fail("getifaddrs failed");
    std::vector<std::uint8_t> mac;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_PACKET && interface == a->ifa_name) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
            if (link->sll_halen == 6) mac.assign(link->sll_addr, link->sll_addr + 6);
        }
    }
    freeifaddrs(list);
    if (mac.empty()) fail("no hardware address for " + interface);
    return mac;
}

struct capture {
    pcap_t* handle = nullptr;
    std::vector<std::uint8_t> own, device;
    std::uint16_t sequence = 0;

    capture(const std::string& interface, const std::string& device_mac)
        : device(parse_mac(device_mac)) {
        own = hardware_address(interface);
        char errors[PCAP_ERRBUF_SIZE];
        handle = pcap_create(interface.c_str(), errors);
        if (!handle) fail(errors);
        // The same settings as kestd's driver, so the two paths differ only in the relaying.
        pcap_set_immediate_mode(handle, 1);
        pcap_set_promisc(handle, 1);
        pcap_set_buffer_size(handle, 16 << 20);
        pcap_set_timeout(handle, 100);
        if (pcap_activate(handle) != 0) fail(pcap_geterr(handle));
        bpf_program program;
        const std::string filter = "ether proto 0xCAB2 && ether src " + device_mac;
        if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
            pcap_setfilter(handle, &program) != 0)
            fail(pcap_geterr(handle));
        pcap_freecode(&program);
    }
    ~capture() { pcap_close(handle); }

    void send(const std::uint8_t* payload, std::size_t size) {
        std::uint8_t frame[1511] = {};
        std::memcpy(frame, device.data(), 6);
        std::memcpy(frame + 6, own.data(), 6);
        const std::uint8_t fixed[] = {0xCA, 0xB1, 0xAA, 0xAA, 0x55, 0x55};
        std::memcpy(frame + 12, fixed, sizeof fixed);
        frame[18] = std::uint8_t(size);
        frame[19] = std::uint8_t(size >> 8);
        frame[20] = std::uint8_t(sequence);
        frame[21] = std::uint8_t(sequence >> 8);
        frame[22] = 0x03;
        ++sequence;
        std::memcpy(frame + 24, payload, size);
        if (pcap_sendpacket(handle, frame, int(24 + size)) != 0) fail(pcap_geterr(handle));
    }
};

// Message boundaries as the driver's reassembly sees them: the first fragment's length field
// holds the whole message, padding past it is not payload.
struct messages {
    std::size_t missing = 0;
    template <typename F>
    void accept(const std::uint8_t* frame, std::size_t size, F&& deliver, std::uint64_t& cut) {
        if (size < 24) return;
        const std::size_t length = frame[18] | frame[19] << 8;
        if (frame[22] & 0x01) {
            if (missing) ++cut;
            missing = length;
        }
        const std::size_t take = std::min(missing, size - 24);
        deliver(frame + 24, take);
        missing -= take;
        if ((frame[22] & 0x02) && missing) {
            ++cut;
            missing = 0;
        }
    }
};

int stream(const std::string& interface, const std::string& mac, double seconds, double warmup) {
    capture c(interface, mac);
    const std::uint8_t go = 'g';
    c.send(&go, 1);
    const auto start = clock_type::now();
    const auto measured = start + std::chrono::duration<double>(warmup);
    const auto end = measured + std::chrono::duration<double>(seconds);
    messages m;
    std::uint64_t bytes = 0, gaps = 0;
    int expected = -1;
    for (auto now = start; now < end; now = clock_type::now()) {
        pcap_pkthdr* header;
        const std::uint8_t* data;
        const int got = pcap_next_ex(c.handle, &header, &data);
        if (got < 0) fail(pcap_geterr(c.handle));
        if (got == 0) continue;
        const bool counting = clock_type::now() >= measured;
        m.accept(
            data, header->caplen,
            [&](const std::uint8_t* p, std::size_t n) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (expected >= 0 && p[i] != expected) ++gaps;
                    expected = (p[i] + 1) % 251;
                }
                if (counting) bytes += n;
            },
            gaps);
    }
    std::printf("direct bytes=%llu secs=%.3f MBps=%.1f gaps=%llu\n", (unsigned long long)bytes,
                seconds, bytes / seconds / 1e6, (unsigned long long)gaps);
    return 0;
}

int echo(const std::string& interface, const std::string& mac, int count, std::size_t size) {
    if (size < 1 || size > 1487) fail("echo sizes are 1 to 1487 (one frame each way)");
    capture c(interface, mac);
    std::vector<std::uint8_t> payload(size, 0x5A);
    std::vector<double> micros;
    messages m;
    std::uint64_t cut = 0;
    for (int i = 0; i < count + 100; ++i) {  // the first 100 warm up
        const auto sent = clock_type::now();
        c.send(payload.data(), size);
        std::size_t back = 0;
        while (back < size) {
            pcap_pkthdr* header;
            const std::uint8_t* data;
            const int got = pcap_next_ex(c.handle, &header, &data);
            if (got < 0) fail(pcap_geterr(c.handle));
            if (got == 0) fail("no echo within 100 ms");
            m.accept(
                data, header->caplen, [&](const std::uint8_t*, std::size_t n) { back += n; }, cut);
        }
        if (i >= 100)
            micros.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - sent)
                                 .count());
    }
    std::sort(micros.begin(), micros.end());
    std::printf("echo count=%d size=%zu p50_us=%.1f p99_us=%.1f\n", count, size,
                micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "stream" && (argc == 5 || argc == 6))
        return stream(argv[2], argv[3], std::atof(argv[4]), argc == 6 ? std::atof(argv[5]) : 0.5);
    if (mode == "echo" && argc == 6) return echo(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    std::fprintf(stderr,
                 "usage: cab_direct stream IF DEVICE_MAC SECONDS [WARMUP]\n"
                 "       cab_direct echo IF DEVICE_MAC COUNT SIZE\n");
    return 64;
}
