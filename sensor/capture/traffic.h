// The packet capture component: reads the NFLOG groups of the partition,
// classifies each logged packet, rate-limits the reports and publishes them
// through the two field servers. Used by the capture thread only.
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "sensor/capture/nflog_packet.h"
#include "sensor/capture/prefix_table.h"
#include "sensor/capture/rate_limited_publisher.h"
#include "sensor/common/overrun_count.h"
#include "sensor/config/ids_instances.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/pcap_api.h"
#include "sensor/services/field_server_handle.h"
#include "sensor/services/report_types.h"

class Traffic {
public:
    using Firewall_reports =
        std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>;
    using Clock_function = std::chrono::system_clock::time_point (*)();

    // NFLOG group whose packets raw_ip_traffic_event classifies.
    static constexpr std::uint16_t raw_ip_traffic_group = 101;

    // Borrows every pointer; any field-server handle may be null. The clock
    // drives the rate limiters (tests substitute their own).
    Traffic(Pcap_API_Interface* pcap_api, std::int16_t sw_id, Ethernet_field_server_handle* field_server_ethernet,
            Ipsec_field_server_handle* field_server_ipsec, ARA_PHM_API_Interface* phm_api,
            Clock_function clock = &std::chrono::system_clock::now);
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    // Capture loop.
    int init(std::int16_t sw_id);
    void main_loop(const IDS_instances& instances);
    void close();
    bool ensure_nonblocking();
    static void on_packet(u_char* user, const pcap_pkthdr* header, const u_char* message);
    // Body of on_packet; may throw.
    static void handle_packet(Traffic& traffic, const pcap_pkthdr* header, const u_char* message);
    Nflog_packet parse_packet(const pcap_pkthdr* header, const u_char* message);

    // Classification and rate limits.
    int raw_ip_traffic_event(const Nflog_packet& packet, const std::uint32_t& limit);
    // The table entry of the whole prefix; none (after one error line) when
    // the prefix is not in the table.
    std::optional<Prefix_class> match_prefix(const char* prefix);
    int RawIPTraffic(const std::uint32_t& limit, const Nflog_packet& packet, Report_kind report_kind,
                     Frame_kind frame_kind);
    int security_events(const Nflog_packet& packet, const std::uint32_t& limit);
    void security_events_limit(const std::uint32_t& limit, const Firewall_reports& reports);
    // Writes each limiter's count of dropped reports when one is due.
    void report_drops();

    // Report construction.
    int send_traffic_report(const Nflog_packet& packet, Report_kind report_kind, Frame_kind frame_kind);
    void send_special_frame_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                   std::uint16_t payload_length, Frame_kind frame_kind);
    void send_service_discovery_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                       std::uint16_t payload_length);
    void send_classifier_match_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                      std::uint16_t payload_length, const char* prefix);

    // Null before init and after close.
    pcap_t* capture_handle() const noexcept { return handle; }
    std::uint32_t current_ethernet_limit() const noexcept { return ethernet_limit; }
    std::uint32_t current_ipsec_limit() const noexcept { return ipsec_limit; }

private:
    Field_Server_Skeleton_Interface* ethernet_server() const noexcept;
    Field_Server_Skeleton_Idsipsecuritysensor_Interface* ipsec_server() const noexcept;
    void checkpoint(std::uint16_t supervision_id, std::uint16_t checkpoint_id);
    void loop_passed() noexcept {
        if (phm_api != nullptr) {
            phm_api->LoopPassed(Supervised_loop::capture);
        }
    }
    // Counts what the kernel dropped since the last look; warns at most once a second.
    void note_kernel_drops();
    // After a stop: reads what is already queued, bounded in time.
    void read_what_is_queued();

    Pcap_API_Interface* pcap_api;
    pcap_t* handle = nullptr;
    std::int16_t sw_id;
    Ethernet_field_server_handle* field_server_ethernet;
    Ipsec_field_server_handle* field_server_ipsec;
    ARA_PHM_API_Interface* phm_api;
    std::uint32_t ethernet_limit = 0;
    std::uint32_t ipsec_limit = 0;
    std::int64_t rate_window_ms = 1000;

    // The two limiters keep separate state, so neither can starve the other.
    Rate_limited_publisher raw_ip_publisher{"[RawIPTraffic]", true};
    Rate_limited_publisher security_events_publisher{"[security_events_limit]", false};
    Clock_function clock;
    std::uint32_t kernel_drops_seen = 0;
    Overrun_count kernel_drops;
};
