#include "driver/cab/find_devices.hpp"

#include <pcap.h>

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <stdexcept>
#include <unordered_set>

#include "common/printable.hpp"
#include "driver/cab/cab_log.hpp"
#include "driver/cab/discovery_frames.hpp"
#include "driver/cab/get_mac_address.hpp"
#include "driver/cab/pcap_handle.hpp"
#include "driver/cab/weak_cab_driver.hpp"
#include "driver/is_valid_serial.hpp"
#include "driver/maker_oui.hpp"

namespace kestd::driver::cab {

namespace {

using adapter_set = std::unordered_set<std::unique_ptr<pcap_handle>>;

// Frees the adapter list however the start ends.
struct adapter_list {
    pcap_if_t* first = nullptr;
    ~adapter_list() {
        if (first != nullptr) ::pcap_freealldevs(first);
    }
};

bool send_query(pcap_handle& capture, std::uint32_t code, const mac_address& adapter) {
    const auto query = make_query(code, adapter);
    if (::pcap_sendpacket(capture.get(), query.data(), static_cast<int>(query.size())) == 0) {
        return true;
    }
    KESTD_LOG(cab_log(), warning) << "unable to send CAB packet: " << capture.error();
    return false;
}

// Opens one adapter and sends both queries on it; nothing when a step is refused (logged).
std::unique_ptr<pcap_handle> query_adapter(const std::string& name, const mac_address& mac) {
    auto capture = std::make_unique<pcap_handle>(name);
    if (::pcap_set_immediate_mode(capture->get(), 1) != 0) {
        KESTD_LOG(cab_log(), warning) << "unable to enable immediate mode for " << name;
        return nullptr;
    }
    if (::pcap_set_promisc(capture->get(), 1) != 0) {
        KESTD_LOG(cab_log(), warning) << "unable to enable promiscuous mode for " << name;
        return nullptr;
    }
    if (::pcap_activate(capture->get()) != 0) {
        KESTD_LOG(cab_log(), warning) << "unable to activate interface: " << capture->error();
        return nullptr;
    }
    std::string why;
    if (!capture->set_filter("ether proto 0xCAB2", why)) {
        KESTD_LOG(cab_log(), warning) << why;
        return nullptr;
    }
    if (!send_query(*capture, query_a, mac) || !send_query(*capture, query_b, mac)) return nullptr;
    return capture;
}

void read_replies(pcap_handle& capture, found_device_map& found, bool& full) {
    char errors[PCAP_ERRBUF_SIZE] = "";
    ::pcap_setnonblock(capture.get(), 1, errors);
    pcap_pkthdr* header = nullptr;
    const unsigned char* data = nullptr;
    while (::pcap_next_ex(capture.get(), &header, &data) == 1) {
        // Only what was captured is there to read, whatever the wire length says.
        const auto reply = read_reply({data, header->caplen});
        if (!reply) continue;
        if (!is_valid_serial(reply->serial)) {
            KESTD_LOG(cab_log(), warning) << "invalid serial: " << printable(reply->serial);
            continue;
        }
        if (found.contains(reply->serial)) continue;
        if (found.size() >= max_found_per_transport) {
            full = true;
            continue;
        }
        found.emplace(reply->serial,
                      std::make_unique<weak_cab_driver>(capture.name(), reply->device));
    }
}

}  // namespace

bool is_searched(std::uint32_t flags, bool has_addresses) {
    return has_addresses && (flags & 0x19) == 0x10;
}

bool async_find_devices(boost::asio::io_context& io, std::chrono::milliseconds window,
                        found_device_map& found, std::function<void()>&& done) {
    auto adapters = std::make_unique<adapter_set>();
    try {
        adapter_list list;
        char errors[PCAP_ERRBUF_SIZE] = "";
        if (::pcap_findalldevs(&list.first, errors) == -1) throw std::runtime_error(errors);
        const auto oui = maker_oui();
        for (const pcap_if_t* adapter = list.first; adapter != nullptr; adapter = adapter->next) {
            if (!is_searched(adapter->flags, adapter->addresses != nullptr)) continue;
            const std::string name = adapter->name;
            mac_address mac{};
            if (!get_mac_address(name, mac)) {
                KESTD_LOG(cab_log(), warning) << "unable to get MAC address for " << name;
                continue;
            }
            // The maker's own adapters are the devices' side of a link.
            if (std::equal(oui.begin(), oui.end(), mac.begin())) continue;
            if (auto capture = query_adapter(name, mac)) adapters->insert(std::move(capture));
        }
    } catch (const std::exception& e) {
        KESTD_LOG(cab_log(), error) << "exception thrown during CAB discovery: " << e.what();
        return false;
    }

    auto timer = std::make_shared<boost::asio::steady_timer>(io, window);
    timer->async_wait([timer, adapters = std::move(adapters), &found,
                       done = std::move(done)](const boost::system::error_code& ec) {
        if (ec) {
            KESTD_LOG(cab_log(), error) << "error waiting for CAB discovery: " << ec.message();
            return;
        }
        bool full = false;
        for (const auto& capture : *adapters) read_replies(*capture, found, full);
        if (full) {
            KESTD_LOG(cab_log(), warning)
                << "more than " << max_found_per_transport << " devices answered, the rest ignored";
        }
        done();
    });
    return true;
}

}  // namespace kestd::driver::cab
