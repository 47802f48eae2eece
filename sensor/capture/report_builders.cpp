#include "sensor/capture/report_builders.h"

#include <algorithm>

namespace report_builders {

namespace {

std::uint16_t usable_length(const Packet_facts& facts) {
    return facts.payload == nullptr ? 0 : facts.payload_length;
}

// Members every packet report carries, in the order of the record.
template <typename Record>
void fill_common(Record& record, const Packet_facts& facts) {
    record.swId = static_cast<std::uint16_t>(facts.sw_id);
    record.timestamp = static_cast<std::uint64_t>(facts.capture_seconds);
}

template <typename Record>
void fill_payload(Record& record, const Packet_facts& facts) {
    record.payload = payload_head(facts);
    record.truncatedLength = truncated_length(facts);
}

}  // namespace

eth::Byte_array payload_head(const Packet_facts& facts) {
    const std::size_t kept = std::min<std::size_t>(usable_length(facts), eth::max_report_payload);
    return eth::Byte_array(facts.payload, facts.payload + kept);
}

std::uint16_t truncated_length(const Packet_facts& facts) {
    const std::uint16_t length = usable_length(facts);
    return length > eth::max_report_payload ? static_cast<std::uint16_t>(length - eth::max_report_payload) : 0;
}

eth::DT_specialFrameReports_struct special_frame_report(const Packet_facts& facts, Frame_kind frame_kind) {
    eth::DT_specialFrameReports_struct record;
    record.reportTypeId = eth::special_frame_report_type_id;
    fill_common(record, facts);
    record.frameType = frame_kind;
    fill_payload(record, facts);
    return record;
}

eth::DT_serviceDiscoveryReports_struct service_discovery_report(const Packet_facts& facts) {
    eth::DT_serviceDiscoveryReports_struct record;
    record.reportTypeId = eth::service_discovery_report_type_id;
    fill_common(record, facts);
    fill_payload(record, facts);
    return record;
}

eth::DT_classifierMatchReports_struct classifier_match_report(const Packet_facts& facts, const char* prefix) {
    eth::DT_classifierMatchReports_struct record;
    record.reportTypeId = eth::classifier_match_report_type_id;
    fill_common(record, facts);
    record.logPrefix = std::string(prefix != nullptr ? prefix : "");
    fill_payload(record, facts);
    return record;
}

ipsec::DT_firewallFilterReports_struct firewall_filter_report(const Packet_facts& facts, const char* prefix) {
    ipsec::DT_firewallFilterReports_struct record;
    record.reportTypeId = ipsec::firewall_filter_report_type_id;
    fill_common(record, facts);
    record.logPrefix = std::string(prefix != nullptr ? prefix : "");
    fill_payload(record, facts);
    return record;
}

}  // namespace report_builders
