// Report records published in the fields of IDSEthernetSensor and
// IDSIpSecuritySensor. Every member is optional; the declaration order is the
// order on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ksr::services::idsethernetsensor::datatypes {

// Identifies the record type; index 0 is the first byte on the wire.
using Report_type_id = std::array<std::uint8_t, 8>;
using Byte_array = std::vector<std::uint8_t>;

// Which special-frame rule logged the packet.
enum class Special_frame_type : std::uint32_t {
    L2TP = 0,
    DHCPv6 = 1,
    ICMPv6 = 2,
    TCP_CNTL = 3,
    XCP = 4,
    DoIP = 5,
    IPv4 = 6,
    UDSoverIP = 7,
};

// Layer-4 protocol number of a connection-tracking entry, carried unchanged;
// the named values are only the common ones.
enum class Ip_protocol : std::uint32_t {
    ICMP = 1,
    TCP = 6,
    UDP = 17,
    ICMPv6 = 58,
};

inline constexpr Report_type_id special_frame_report_type_id{0x7d, 0x0c, 0x36, 0xc4, 0xfc, 0xe4, 0x45, 0xfc};
inline constexpr Report_type_id service_discovery_report_type_id{0x00, 0xad, 0xfc, 0x5d, 0x1d, 0x4f, 0x45, 0x78};
inline constexpr Report_type_id classifier_match_report_type_id{0x4e, 0x83, 0x49, 0x4f, 0x6b, 0xbd, 0x4b, 0x56};
inline constexpr Report_type_id traffic_flow_sample_type_id{0xc3, 0x08, 0x50, 0x24, 0xbc, 0x00, 0x47, 0xd9};

// Longest packet prefix a packet report carries.
inline constexpr std::size_t max_report_payload = 1522;

struct DT_specialFrameReports_struct {
    std::optional<Report_type_id> reportTypeId;
    std::optional<std::uint16_t> swId;
    std::optional<std::uint64_t> timestamp;
    std::optional<Byte_array> payload;
    std::optional<Special_frame_type> frameType;
    std::optional<std::uint16_t> truncatedLength;
};

struct DT_serviceDiscoveryReports_struct {
    std::optional<Report_type_id> reportTypeId;
    std::optional<std::uint16_t> swId;
    std::optional<std::uint64_t> timestamp;
    std::optional<std::uint16_t> reserved4;
    std::optional<std::uint16_t> reserved5;
    std::optional<Byte_array> payload;
    std::optional<std::uint16_t> truncatedLength;
};

struct DT_classifierMatchReports_struct {
    std::optional<Report_type_id> reportTypeId;
    std::optional<std::uint16_t> swId;
    std::optional<std::uint64_t> timestamp;
    std::optional<std::uint16_t> reserved4;
    std::optional<std::string> logPrefix;
    std::optional<Byte_array> payload;
    std::optional<std::uint16_t> truncatedLength;
};

struct DT_trafficFlowSamples_struct {
    std::optional<Report_type_id> reportTypeId;
    std::optional<std::uint16_t> swId;
    std::optional<std::uint64_t> timestamp;
    std::optional<std::string> sourceIpAddr;
    std::optional<std::string> destinationIpAddr;
    std::optional<std::string> reserved6;
    std::optional<std::string> reserved7;
    std::optional<Ip_protocol> protocol;
    std::optional<std::uint16_t> sourcePort;
    std::optional<std::uint16_t> destinationPort;
    std::optional<std::uint32_t> packets;
    std::optional<std::uint64_t> bytes;
};

}  // namespace ksr::services::idsethernetsensor::datatypes

namespace ksr::services::idsipsecuritysensor::datatypes {

using Report_type_id = std::array<std::uint8_t, 8>;
using Byte_array = std::vector<std::uint8_t>;

inline constexpr Report_type_id firewall_filter_report_type_id{0x96, 0x75, 0xff, 0x72, 0x2c, 0x7c, 0x47, 0x3c};

struct DT_firewallFilterReports_struct {
    std::optional<Report_type_id> reportTypeId;
    std::optional<std::uint16_t> swId;
    std::optional<std::uint64_t> timestamp;
    std::optional<std::string> reserved4;
    std::optional<std::uint16_t> reserved5;
    std::optional<std::string> logPrefix;
    std::optional<Byte_array> payload;
    std::optional<std::uint16_t> truncatedLength;
};

}  // namespace ksr::services::idsipsecuritysensor::datatypes
