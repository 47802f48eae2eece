// Writes sample report lists as JSON lines for the listener's decoder tests:
// {"record_type": ..., "hex": <serialized list>, "expected": <records>}.
// "expected" is built from the records' members directly, not from the bytes.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sensor/services/report_serializer.h"

namespace {

namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;
using nlohmann::json;

template <typename Bytes>
std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s.push_back(digits[static_cast<std::uint8_t>(b) >> 4]);
        s.push_back(digits[static_cast<std::uint8_t>(b) & 15]);
    }
    return s;
}

template <typename T>
void put(json& j, const char* name, const std::optional<T>& member) {
    if (!member) {
        return;
    }
    if constexpr (std::is_same_v<T, eth::Report_type_id> || std::is_same_v<T, eth::Byte_array>) {
        j[name] = hex(*member);
    } else if constexpr (std::is_enum_v<T>) {
        j[name] = static_cast<std::uint32_t>(*member);
    } else {
        j[name] = *member;
    }
}

json to_json(const eth::DT_specialFrameReports_struct& r) {
    json j = json::object();
    put(j, "reportTypeId", r.reportTypeId), put(j, "swId", r.swId), put(j, "timestamp", r.timestamp);
    put(j, "payload", r.payload), put(j, "frameType", r.frameType), put(j, "truncatedLength", r.truncatedLength);
    return j;
}
json to_json(const eth::DT_serviceDiscoveryReports_struct& r) {
    json j = json::object();
    put(j, "reportTypeId", r.reportTypeId), put(j, "swId", r.swId), put(j, "timestamp", r.timestamp);
    put(j, "reserved4", r.reserved4), put(j, "reserved5", r.reserved5), put(j, "payload", r.payload);
    put(j, "truncatedLength", r.truncatedLength);
    return j;
}
json to_json(const eth::DT_classifierMatchReports_struct& r) {
    json j = json::object();
    put(j, "reportTypeId", r.reportTypeId), put(j, "swId", r.swId), put(j, "timestamp", r.timestamp);
    put(j, "reserved4", r.reserved4), put(j, "logPrefix", r.logPrefix), put(j, "payload", r.payload);
    put(j, "truncatedLength", r.truncatedLength);
    return j;
}
json to_json(const eth::DT_trafficFlowSamples_struct& r) {
    json j = json::object();
    put(j, "reportTypeId", r.reportTypeId), put(j, "swId", r.swId), put(j, "timestamp", r.timestamp);
    put(j, "sourceIpAddr", r.sourceIpAddr), put(j, "destinationIpAddr", r.destinationIpAddr);
    put(j, "reserved6", r.reserved6), put(j, "reserved7", r.reserved7), put(j, "protocol", r.protocol);
    put(j, "sourcePort", r.sourcePort), put(j, "destinationPort", r.destinationPort);
    put(j, "packets", r.packets), put(j, "bytes", r.bytes);
    return j;
}
json to_json(const ipsec::DT_firewallFilterReports_struct& r) {
    json j = json::object();
    put(j, "reportTypeId", r.reportTypeId), put(j, "swId", r.swId), put(j, "timestamp", r.timestamp);
    put(j, "reserved4", r.reserved4), put(j, "reserved5", r.reserved5), put(j, "logPrefix", r.logPrefix);
    put(j, "payload", r.payload), put(j, "truncatedLength", r.truncatedLength);
    return j;
}

template <typename Record>
void emit(const char* type, const std::string& label, const std::vector<Record>& list) {
    oq::com::runtime::Payload_buffer out;
    ksr::services::serialize(list, out);
    json expected = json::array();
    for (const auto& r : list) {
        expected.push_back(to_json(r));
    }
    std::cout << json{{"record_type", type}, {"label", label}, {"hex", hex(out)}, {"expected", expected}}.dump()
              << "\n";
}

eth::Byte_array packet(std::size_t n) {
    eth::Byte_array bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    return bytes;
}

}  // namespace

int main() {
    eth::DT_specialFrameReports_struct special;
    special.reportTypeId = eth::special_frame_report_type_id;
    special.swId = 265;
    special.timestamp = 1700000000;
    special.payload = packet(eth::max_report_payload);
    special.frameType = eth::Special_frame_type::UDSoverIP;
    special.truncatedLength = 1;
    emit("DT_specialFrameReports_struct", "producer", std::vector{special});
    emit("DT_specialFrameReports_struct", "empty list", std::vector<eth::DT_specialFrameReports_struct>{});
    emit("DT_specialFrameReports_struct", "absent members", std::vector<eth::DT_specialFrameReports_struct>(2));

    eth::DT_serviceDiscoveryReports_struct sd;
    sd.reportTypeId = eth::service_discovery_report_type_id;
    sd.swId = 264;
    sd.timestamp = 1;
    sd.payload = eth::Byte_array{};
    sd.truncatedLength = 0;
    emit("DT_serviceDiscoveryReports_struct", "producer", std::vector{sd});
    sd.reserved4 = 4;
    sd.reserved5 = 5;
    sd.payload = packet(60);
    emit("DT_serviceDiscoveryReports_struct", "every member", std::vector{sd, sd});

    eth::DT_classifierMatchReports_struct cm;
    cm.reportTypeId = eth::classifier_match_report_type_id;
    cm.swId = 266;
    cm.timestamp = 0xfffffffffull;
    cm.logPrefix = "classifier.match.rule7";
    cm.payload = packet(20);
    cm.truncatedLength = 0;
    emit("DT_classifierMatchReports_struct", "producer", std::vector{cm});
    cm.reserved4 = 0xffff;
    cm.logPrefix = "";
    emit("DT_classifierMatchReports_struct", "every member", std::vector{cm});

    eth::DT_trafficFlowSamples_struct flow;
    flow.reportTypeId = eth::traffic_flow_sample_type_id;
    flow.swId = 42;
    flow.timestamp = 123456789;
    flow.sourceIpAddr = "fe80::1:2:3:4";
    flow.destinationIpAddr = "192.168.100.200";
    flow.protocol = eth::Ip_protocol::TCP;
    flow.sourcePort = 49152;
    flow.destinationPort = 13400;
    flow.packets = 0xffffffffu;
    flow.bytes = 0xffffffffffffffffull;
    emit("DT_trafficFlowSamples_struct", "producer", std::vector{flow});
    flow.reserved6 = "six";
    flow.reserved7 = "seven";
    emit("DT_trafficFlowSamples_struct", "every member", std::vector{flow});

    ipsec::DT_firewallFilterReports_struct fw;
    fw.reportTypeId = ipsec::firewall_filter_report_type_id;
    fw.swId = 42;
    fw.timestamp = 7;
    fw.logPrefix = "firewall.drop \xc3\xa4";
    fw.payload = packet(100);
    fw.truncatedLength = 12;
    emit("DT_firewallFilterReports_struct", "producer", std::vector{fw});
    fw.reserved4 = "r4";
    fw.reserved5 = 5;
    emit("DT_firewallFilterReports_struct", "every member", std::vector{fw});
    return 0;
}
