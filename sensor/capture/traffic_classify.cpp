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
    Report_kind report_kind = Report_kind::none;
    Frame_kind frame_kind = no_special_frame;
    if (packet.prefix == nullptr) {
        capture::logger().LogError() << "[Traffic] prefix_data pointer Not valid";
    } else if (match_prefix(packet.prefix, report_kind, frame_kind)) {
        capture::logger().LogError() << "[Traffic] No valid Prefix";
    } else {
        result = RawIPTraffic(limit, packet, report_kind, frame_kind);
    }
    checkpoint(raw_ip_supervision, raw_ip_exit);
    return result;
}

bool Traffic::match_prefix(const char* prefix, Report_kind& report_kind, Frame_kind& frame_kind) {
    const Prefix_class* entry = prefix != nullptr ? find_prefix_class(prefix) : nullptr;
    if (entry != nullptr) {
        report_kind = entry->report_kind;
        frame_kind = entry->frame_kind;
        return false;
    }
    report_kind = Report_kind::none;
    frame_kind = no_special_frame;
    capture::logger().LogError() << "No valid prefix";
    return true;
}

int Traffic::RawIPTraffic(const std::uint32_t& limit, const Nflog_packet& packet, Report_kind report_kind,
                          Frame_kind frame_kind) {
    auto& log = capture::logger();
    Rate_window& window = raw_ip_window;
    const Rate_window::Decision decision = window.decide(clock(), rate_window_ms, limit);

    if (decision == Rate_window::Decision::open_window) {
        log.LogDebug() << "[RawIPTraffic] Time passed =" << window.time_passed_ms();
        log.LogDebug() << "[RawIPTraffic] Resetting time passed.";
        window.open_window();
        const int result = send_traffic_report(packet, report_kind, frame_kind);
        if (result == 0) {
            log.LogDebug() << "[RawIPTraffic] Successfully sent packet number = " << window.count();
        } else {
            log.LogError() << "[RawIPTraffic] Failed to send_packet number = " << window.count();
        }
        return result;
    }
    if (decision == Rate_window::Decision::drop) {
        log.LogDebug() << "[RawIPTraffic] Dropping packets.";
        return 0;
    }
    const int result = send_traffic_report(packet, report_kind, frame_kind);
    if (result == 0) {
        window.count_publication();
        log.LogDebug() << "[RawIPTraffic] packet number = " << window.count();
        log.LogDebug() << "[RawIPTraffic] Time passed =" << window.time_passed_ms();
    } else {
        log.LogError() << "[RawIPTraffic] Failed to send_packet number = " << window.count();
        log.LogError() << "[RawIPTraffic] Time passed =" << window.time_passed_ms();
    }
    return result;
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
    auto& log = capture::logger();
    Field_Server_Skeleton_Idsipsecuritysensor_Interface* server = ipsec_server();
    Rate_window& window = security_events_window;
    const Rate_window::Decision decision = window.decide(clock(), rate_window_ms, limit);

    if (decision == Rate_window::Decision::open_window) {
        log.LogDebug() << "[security_events_limit] Time passed =" << window.time_passed_ms();
        log.LogDebug() << "[security_events_limit] Resetting time passed.";
        window.open_window();
        if (server != nullptr) {
            server->update_firewall_filter_reports(reports);
        }
        return;
    }
    if (decision == Rate_window::Decision::drop) {
        log.LogDebug() << "[security_events_limit] Dropping packets.";
        return;
    }
    if (server != nullptr) {
        server->update_firewall_filter_reports(reports);
    }
    window.count_publication();
    log.LogDebug() << "[security_events_limit] packet number = " << window.count();
    log.LogDebug() << "[security_events_limit] Time passed =" << window.time_passed_ms();
}
