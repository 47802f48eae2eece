// Builds the IDSEthernetSensor report of a packet that passed its limiter and
// hands it, as a list of one, to its field.
#pragma once

#include <cstdint>

#include "sensor/capture/nflog_packet.h"
#include "sensor/capture/prefix_table.h"
#include "sensor/services/field_server_handle.h"

class Report_sender {
public:
    // Borrows the handle, which may be null: then nothing is published.
    Report_sender(std::int16_t sw_id_, Ethernet_field_server_handle* ethernet_) noexcept
        : sw_id(sw_id_), field_server_ethernet(ethernet_) {}

    // 0 when the report was handed over (or there is no server to take it),
    // 1 when it was refused: length beyond 16 bits or an unknown kind.
    int send_traffic_report(const Nflog_packet& packet, Report_kind report_kind, Frame_kind frame_kind);

private:
    Field_Server_Skeleton_Interface* ethernet_server() const noexcept;
    void send_special_frame_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                   std::uint16_t payload_length, Frame_kind frame_kind);
    void send_service_discovery_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                       std::uint16_t payload_length);
    void send_classifier_match_report(const Nflog_packet& packet, std::int64_t capture_seconds,
                                      std::uint16_t payload_length, const char* prefix);

    std::int16_t sw_id;
    Ethernet_field_server_handle* field_server_ethernet;
};
