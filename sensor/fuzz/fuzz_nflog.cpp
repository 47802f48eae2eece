// One NFLOG message as the capture library hands it over: split into its
// attributes by the packet callback (no field servers attached), then every
// report built from the packet it yields.
#include <cstring>

#include "sensor/capture/group_dispatch.h"
#include "sensor/capture/report_builders.h"
#include "sensor/capture/traffic.h"
#include "sensor/seams/pcap_api.h"

namespace {

// Two seconds later on every call: every packet opens a new rate window, so
// the reports are always built.
std::chrono::system_clock::time_point stepping_clock() {
    static std::chrono::system_clock::time_point now{};
    now += std::chrono::seconds(2);
    return now;
}

bool inside(const void* pointer, std::size_t length, const std::uint8_t* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(pointer);
    return p >= data && length <= size && p <= data + size - length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Pcap_API pcap_api;
    static Traffic traffic(&pcap_api, 7, nullptr, nullptr, nullptr, &stepping_clock);
    static Group_dispatch groups(7, nullptr, nullptr, nullptr, &stepping_clock);

    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(size);
    header.len = header.caplen;
    header.ts.tv_sec = 1700000000;

    const Nflog_packet packet = parse_nflog_packet(pcap_api, &header, data);
    // Whatever was found must lie inside the message.
    if (packet.payload != nullptr && !inside(packet.payload, packet.payload_length, data, size)) {
        std::abort();
    }
    if (packet.prefix != nullptr && !inside(packet.prefix, std::strlen(packet.prefix) + 1, data, size)) {
        std::abort();
    }

    Traffic::on_packet(reinterpret_cast<u_char*>(&traffic), &header, data);
    (void)groups.raw_ip_traffic_event(packet, 1000);
    (void)groups.security_events(packet, 1000);

    const report_builders::Packet_facts facts{7, packet.capture_seconds, packet.payload,
                                              static_cast<std::uint16_t>(packet.payload_length)};
    const auto entry = groups.match_prefix(packet.prefix);
    const Frame_kind frame_kind = entry ? entry->frame_kind : no_special_frame;
    (void)report_builders::special_frame_report(facts, frame_kind);
    (void)report_builders::service_discovery_report(facts);
    if (packet.prefix != nullptr) {
        (void)report_builders::classifier_match_report(facts, packet.prefix);
        (void)report_builders::firewall_filter_report(facts, packet.prefix);
    }
    return 0;
}
