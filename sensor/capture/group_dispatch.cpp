// Dispatch by NFLOG group, classification of logged packets and the two
// report rate limiters.
#include "sensor/capture/capture_log.h"
#include "sensor/capture/report_builders.h"
#include "sensor/capture/group_dispatch.h"

namespace {

// Health checkpoints around the two handlers.
constexpr std::uint16_t raw_ip_supervision = 1;
constexpr std::uint16_t raw_ip_entry = 1;
constexpr std::uint16_t raw_ip_exit = 2;
constexpr std::uint16_t security_supervision = 2;
constexpr std::uint16_t security_entry = 3;
constexpr std::uint16_t security_exit = 4;

constexpr std::uint16_t group_security_events = 102;
constexpr std::uint16_t group_security_events_legacy = 200;
constexpr std::uint16_t group_security_events_housekeeping = 202;

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

Group_dispatch::Group_dispatch(std::int16_t sw_id_, Ethernet_field_server_handle* ethernet_,
                               Ipsec_field_server_handle* ipsec_, ARA_PHM_API_Interface* phm_api_,
                               Clock_function clock_)
    : sw_id(sw_id_), field_server_ipsec(ipsec_), phm_api(phm_api_), clock(clock_), reports(sw_id_, ethernet_) {}

Field_Server_Skeleton_Idsipsecuritysensor_Interface* Group_dispatch::ipsec_server() const noexcept {
    return field_server_ipsec != nullptr ? field_server_ipsec->get() : nullptr;
}

void Group_dispatch::checkpoint(std::uint16_t supervision_id, std::uint16_t checkpoint_id) {
    if (phm_api != nullptr) {
        phm_api->CheckpointReached(supervision_id, checkpoint_id);
    }
}

int Group_dispatch::raw_ip_traffic_event(const Nflog_packet& packet, const std::uint32_t& limit) {
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

std::optional<Prefix_class> Group_dispatch::match_prefix(const char* prefix) {
    const Prefix_class* entry = prefix != nullptr ? find_prefix_class(prefix) : nullptr;
    if (entry == nullptr) {
        capture::logger().LogError() << "No valid prefix";
        return std::nullopt;
    }
    return *entry;
}

int Group_dispatch::RawIPTraffic(const std::uint32_t& limit, const Nflog_packet& packet, Report_kind report_kind,
                          Frame_kind frame_kind) {
    return raw_ip_publisher.offer(clock(), rate_window_ms, limit, report_kind_name(report_kind),
                                  [&] { return reports.send_traffic_report(packet, report_kind, frame_kind); });
}

int Group_dispatch::security_events(const Nflog_packet& packet, const std::uint32_t& limit) {
    checkpoint(security_supervision, security_entry);
    int result = 0;
    if (packet.prefix == nullptr) {
        capture::logger().LogError() << "[security_events] prefix_data pointer Not valid";
        result = 1;
    } else {
        const report_builders::Packet_facts facts{sw_id, packet.capture_seconds, packet.payload,
                                                  static_cast<std::uint16_t>(packet.payload_length)};
        const Firewall_reports firewall_reports{report_builders::firewall_filter_report(facts, packet.prefix)};
        if (ipsec_server() != nullptr) {
            security_events_limit(limit, firewall_reports);
        }
    }
    checkpoint(security_supervision, security_exit);
    return result;
}

void Group_dispatch::security_events_limit(const std::uint32_t& limit, const Firewall_reports& firewall_reports) {
    // A firewall report is never refused, so each one that passes counts.
    (void)security_events_publisher.offer(clock(), rate_window_ms, limit, "firewallFilterReports", [&] {
        if (auto* server = ipsec_server()) {
            server->update_firewall_filter_reports(firewall_reports);
        }
        return 0;
    });
}

void Group_dispatch::report_drops() {
    const auto now = clock();
    raw_ip_publisher.report_drops(now);
    security_events_publisher.report_drops(now);
}

void Group_dispatch::flush_drops() {
    raw_ip_publisher.flush_drops();
    security_events_publisher.flush_drops();
}

void Group_dispatch::dispatch(std::uint16_t group, const Nflog_packet& packet) {
    auto& log = capture::logger();
    log.LogDebug() << "group id: " << group;
    switch (group) {
        case raw_ip_traffic_group:
            log.LogDebug() << "RawIPTraffic_group_id: " << group;
            (void)raw_ip_traffic_event(packet, ethernet_limit);
            break;
        case group_security_events:
        case group_security_events_legacy:
        case group_security_events_housekeeping:
            log.LogDebug() << "security_events_group_id: " << group;
            (void)security_events(packet, ipsec_limit);
            break;
        default:
            log.LogDebug() << "Unknown Event group_id: " << group;
            break;
    }
}
