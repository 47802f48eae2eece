// Building the IDSEthernetSensor reports of a packet that passed its limiter
// and handing each one, as a list of one, to its field.
#include <limits>
#include <vector>

#include "sensor/capture/capture_log.h"
#include "sensor/capture/report_builders.h"
#include "sensor/capture/report_sender.h"

namespace eth = ksr::services::idsethernetsensor::datatypes;

Field_Server_Skeleton_Interface* Report_sender::ethernet_server() const noexcept {
    return field_server_ethernet != nullptr ? field_server_ethernet->get() : nullptr;
}

int Report_sender::send_traffic_report(const Nflog_packet& packet, Report_kind report_kind, Frame_kind frame_kind) {
    auto& log = capture::logger();
    // The reports carry the length as 16 bits.
    if (packet.payload_length > std::numeric_limits<std::uint16_t>::max()) {
        log.LogError() << "[Traffic] payload length out of range = " << packet.payload_length;
        return 1;
    }
    const auto length = static_cast<std::uint16_t>(packet.payload_length);
    switch (report_kind) {
        case Report_kind::special_frame:
            send_special_frame_report(packet, packet.capture_seconds, length, frame_kind);
            return 0;
        case Report_kind::service_discovery:
            send_service_discovery_report(packet, packet.capture_seconds, length);
            return 0;
        case Report_kind::classifier_match:
            send_classifier_match_report(packet, packet.capture_seconds, length, packet.prefix);
            return 0;
        default:
            log.LogError() << "[Traffic] unknown packetType : nothing is send ";
            return 1;
    }
}

void Report_sender::send_special_frame_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                        std::uint16_t payload_length, Frame_kind frame_kind) {
    const report_builders::Packet_facts facts{sw_id, capture_seconds, packet.payload, payload_length};
    const std::vector<eth::DT_specialFrameReports_struct> reports{
        report_builders::special_frame_report(facts, frame_kind)};
    if (auto* server = ethernet_server()) {
        server->update_special_frame_reports(reports);
    }
    capture::logger().LogDebug() << "Send SpecialFrameReport";
}

void Report_sender::send_service_discovery_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                            std::uint16_t payload_length) {
    const report_builders::Packet_facts facts{sw_id, capture_seconds, packet.payload, payload_length};
    const std::vector<eth::DT_serviceDiscoveryReports_struct> reports{
        report_builders::service_discovery_report(facts)};
    if (auto* server = ethernet_server()) {
        server->update_service_discovery_reports(reports);
    }
    capture::logger().LogDebug() << "Send ServiceDiscoveryReport";
}

void Report_sender::send_classifier_match_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                           std::uint16_t payload_length, const char* prefix) {
    const report_builders::Packet_facts facts{sw_id, capture_seconds, packet.payload, payload_length};
    const std::vector<eth::DT_classifierMatchReports_struct> reports{
        report_builders::classifier_match_report(facts, prefix)};
    if (auto* server = ethernet_server()) {
        server->update_classifier_match_reports(reports);
    }
    capture::logger().LogDebug() << "Send ClassifierMatchReport";
}
