// What becomes of a logged packet once its NFLOG group is known: group 101
// is classified by its log prefix into one IDSEthernetSensor report, the
// firewall groups each become one IDSIpSecuritySensor report; each kind
// passes its own rate limiter.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "sensor/capture/nflog_packet.h"
#include "sensor/capture/prefix_table.h"
#include "sensor/capture/rate_limited_publisher.h"
#include "sensor/capture/report_sender.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/services/field_server_handle.h"
#include "sensor/services/report_types.h"

class Group_dispatch {
public:
    using Firewall_reports =
        std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>;
    using Clock_function = std::chrono::system_clock::time_point (*)();

    // NFLOG group whose packets raw_ip_traffic_event classifies.
    static constexpr std::uint16_t raw_ip_traffic_group = 101;

    // Borrows every pointer; any of them may be null. The clock drives the
    // rate limiters.
    Group_dispatch(std::int16_t sw_id, Ethernet_field_server_handle* field_server_ethernet,
                   Ipsec_field_server_handle* field_server_ipsec, ARA_PHM_API_Interface* phm_api,
                   Clock_function clock);
    Group_dispatch(const Group_dispatch&) = delete;
    Group_dispatch& operator=(const Group_dispatch&) = delete;

    // Reports per window of each service, as configured for the partition.
    void set_limits(std::uint32_t ethernet, std::uint32_t ipsec) noexcept {
        ethernet_limit = ethernet;
        ipsec_limit = ipsec;
    }
    std::uint32_t current_ethernet_limit() const noexcept { return ethernet_limit; }
    std::uint32_t current_ipsec_limit() const noexcept { return ipsec_limit; }

    // Hands the packet to the handler of its group; other groups are ignored.
    void dispatch(std::uint16_t group, const Nflog_packet& packet);

    // The group 101 handler.
    int raw_ip_traffic_event(const Nflog_packet& packet, const std::uint32_t& limit);
    // The table entry of the whole prefix; none (after one error line) when
    // the prefix is not in the table.
    std::optional<Prefix_class> match_prefix(const char* prefix);
    int RawIPTraffic(const std::uint32_t& limit, const Nflog_packet& packet, Report_kind report_kind,
                     Frame_kind frame_kind);
    // The firewall groups' handler.
    int security_events(const Nflog_packet& packet, const std::uint32_t& limit);
    void security_events_limit(const std::uint32_t& limit, const Firewall_reports& reports);

    // Writes each limiter's count of dropped reports when one is due.
    void report_drops();
    // Writes each limiter's count of dropped reports now, if there is one.
    void flush_drops();

private:
    Field_Server_Skeleton_Idsipsecuritysensor_Interface* ipsec_server() const noexcept;
    void checkpoint(std::uint16_t supervision_id, std::uint16_t checkpoint_id);

    std::int16_t sw_id;
    Ipsec_field_server_handle* field_server_ipsec;
    ARA_PHM_API_Interface* phm_api;
    Clock_function clock;
    Report_sender reports;
    std::uint32_t ethernet_limit = 0;
    std::uint32_t ipsec_limit = 0;
    std::int64_t rate_window_ms = 1000;

    // The two limiters keep separate state, so neither can starve the other.
    Rate_limited_publisher raw_ip_publisher{"[RawIPTraffic]", true};
    Rate_limited_publisher security_events_publisher{"[security_events_limit]", false};
};
