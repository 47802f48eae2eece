// Turn one logged packet into one report record. Pure functions: the record
// holds copies only, so it outlives the capture buffer.
#pragma once

#include <cstdint>

#include "sensor/capture/prefix_table.h"
#include "sensor/services/report_types.h"

namespace report_builders {

namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;

// What every packet report shares.
struct Packet_facts {
    std::int16_t sw_id;
    std::int64_t capture_seconds;
    const std::uint8_t* payload;  // null counts as 0 bytes
    std::uint16_t payload_length;
};

// The first min(length, 1522) bytes, always present (possibly empty).
eth::Byte_array payload_head(const Packet_facts& facts);
// Bytes beyond 1522, else 0.
std::uint16_t truncated_length(const Packet_facts& facts);

eth::DT_specialFrameReports_struct special_frame_report(const Packet_facts& facts, Frame_kind frame_kind);
eth::DT_serviceDiscoveryReports_struct service_discovery_report(const Packet_facts& facts);
// prefix: NUL-terminated text, copied whole.
eth::DT_classifierMatchReports_struct classifier_match_report(const Packet_facts& facts, const char* prefix);
ipsec::DT_firewallFilterReports_struct firewall_filter_report(const Packet_facts& facts, const char* prefix);

}  // namespace report_builders
