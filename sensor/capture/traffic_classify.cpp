// Classification of logged packets and the two report rate limiters.
#include "sensor/capture/capture_log.h"
#include "sensor/capture/report_builders.h"
#include "sensor/capture/traffic.h"

namespace {

// Health checkpoints around the two handlers.
constexpr std::uint16_t raw_ip_supervision = 1;
constexpr std::uint16_t raw_ip_entry = 1;
constexpr std::uint16_t raw_ip_exit = 2;
constexpr std::uint16_t security_supervision = 2;
constexpr std::uint16_t security_entry = 3;
constexpr std::uint16_t security_exit = 4;

const char* report_kind_name(Report_kind kind) {
    switch (kind) {
        case Report_kind::special_frame:
            return "specialFrameReports";
        case Report_kind::service_discovery:
            return "serviceDiscoveryReports";
        case Report_kind::classifier_match:
            return "classifierMatchReports";
        default:
            return "unknown";
    }
}

}  // namespace

Traffic::Traffic(Pcap_API_Interface* pcap_api_, std::int16_t sw_id_, Ethernet_field_server_handle* ethernet_,
                 Ipsec_field_server_handle* ipsec_, ARA_PHM_API_Interface* phm_api_, Clock_function clock_)
    : pcap_api(pcap_api_),
      sw_id(sw_id_),
      field_server_ethernet(ethernet_),
      field_server_ipsec(ipsec_),
      phm_api(phm_api_),
      clock(clock_) {}

Field_Server_Skeleton_Interface* Traffic::ethernet_server() const noexcept {
    return field_server_ethernet != nullptr ? field_server_ethernet->get() : nullptr;
}

Field_Server_Skeleton_Idsipsecuritysensor_Interface* Traffic::ipsec_server() const noexcept {
    return field_server_ipsec != nullptr ? field_server_ipsec->get() : nullptr;
}

void Traffic::checkpoint(std::uint16_t supervision_id, std::uint16_t checkpoint_id) {
    if (phm_api != nullptr) {
        phm_api->CheckpointReached(supervision_id, checkpoint_id);
    }
}

int Traffic::raw_ip_traffic_event(const Nflog_packet& packet, const std::uint32_t& limit) {
    checkpoint(raw_ip_supervision, raw_ip_entry);
    int result = 1;
    if (packet.prefix == nullptr) {
        capture::logger().LogError() << "[Traffic] prefix_data pointer Not valid";
    } else if (const auto entry = match_prefix(packet.prefix)) {
        result = RawIPTraffic(limit, packet, entry->report_kind, entry->frame_kind);
    } else {
        capture::logger().LogError() << "[Traffic] No valid Prefix";
        // What an operator needs to fix the rule: the text and where it came from.
        capture::logger().LogError() << "[Traffic] unknown log prefix \"" << packet.prefix << "\" on NFLOG group "
                                     << raw_ip_traffic_group;
    }
    checkpoint(raw_ip_supervision, raw_ip_exit);
    return result;
}

std::optional<Prefix_class> Traffic::match_prefix(const char* prefix) {
    const Prefix_class* entry = prefix != nullptr ? find_prefix_class(prefix) : nullptr;
    if (entry == nullptr) {
        capture::logger().LogError() << "No valid prefix";
        return std::nullopt;
    }
    return *entry;
}

int Traffic::RawIPTraffic(const std::uint32_t& limit, const Nflog_packet& packet, Report_kind report_kind,
                          Frame_kind frame_kind) {
    return raw_ip_publisher.offer(clock(), rate_window_ms, limit, report_kind_name(report_kind),
                                  [&] { return send_traffic_report(packet, report_kind, frame_kind); });
}

int Traffic::security_events(const Nflog_packet& packet, const std::uint32_t& limit) {
    checkpoint(security_supervision, security_entry);
    int result = 0;
    if (packet.prefix == nullptr) {
        capture::logger().LogError() << "[security_events] prefix_data pointer Not valid";
        result = 1;
    } else {
        const report_builders::Packet_facts facts{sw_id, packet.capture_seconds, packet.payload,
                                                  static_cast<std::uint16_t>(packet.payload_length)};
        const Firewall_reports reports{report_builders::firewall_filter_report(facts, packet.prefix)};
        if (ipsec_server() != nullptr) {
            security_events_limit(limit, reports);
        }
    }
    checkpoint(security_supervision, security_exit);
    return result;
}

void Traffic::security_events_limit(const std::uint32_t& limit, const Firewall_reports& reports) {
    // A firewall report is never refused, so each one that passes counts.
    (void)security_events_publisher.offer(clock(), rate_window_ms, limit, "firewallFilterReports", [&] {
        if (auto* server = ipsec_server()) {
            server->update_firewall_filter_reports(reports);
        }
        return 0;
    });
}

void Traffic::report_drops() {
    const auto now = clock();
    raw_ip_publisher.report_drops(now);
    security_events_publisher.report_drops(now);
}
