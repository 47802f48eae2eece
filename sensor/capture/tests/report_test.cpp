// Report records built from packets: payload cut, members per kind, and the
// hand-over to the field servers.
#include <gtest/gtest.h>

#include "sensor/capture/report_builders.h"
#include "sensor/capture/tests/capture_test_support.h"

namespace capture_test {
namespace {

using ::testing::_;

report_builders::Packet_facts facts_of(const std::vector<std::uint8_t>& bytes) {
    return {264, 1700000123, bytes.data(), static_cast<std::uint16_t>(bytes.size())};
}

TEST(Payload_cut_test, KeepsAtMost1522BytesAndCountsTheRest) {
    struct Case {
        std::size_t size;
        std::size_t kept;
        std::uint16_t truncated;
    };
    for (const Case c : {Case{0, 0, 0}, Case{1, 1, 0}, Case{1522, 1522, 0}, Case{1523, 1522, 1},
                         Case{1600, 1522, 78}, Case{65535, 1522, 64013}}) {
        const auto bytes = pattern(c.size);
        const auto facts = facts_of(bytes);
        const auto head = report_builders::payload_head(facts);
        EXPECT_EQ(head.size(), c.kept) << c.size;
        EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin())) << c.size;
        EXPECT_EQ(report_builders::truncated_length(facts), c.truncated) << c.size;
    }
}

TEST(Payload_cut_test, MissingPayloadGivesEmptyPresentPayload) {
    const report_builders::Packet_facts facts{42, 5, nullptr, 0};
    const auto record = report_builders::special_frame_report(facts, Frame_kind::ICMPv6);
    ASSERT_TRUE(record.payload.has_value());
    EXPECT_TRUE(record.payload->empty());
    EXPECT_EQ(record.truncatedLength, std::uint16_t{0});
}

TEST(Report_members_test, EachRecordCarriesExactlyItsMembers) {
    const auto bytes = pattern(1600);
    const auto facts = facts_of(bytes);

    const auto special = report_builders::special_frame_report(facts, Frame_kind::L2TP);
    EXPECT_EQ(special.reportTypeId, eth::special_frame_report_type_id);
    EXPECT_EQ(special.swId, std::uint16_t{264});
    EXPECT_EQ(special.timestamp, std::uint64_t{1700000123});
    EXPECT_EQ(special.frameType, Frame_kind::L2TP);
    EXPECT_EQ(special.payload->size(), 1522U);
    EXPECT_EQ(special.truncatedLength, std::uint16_t{78});

    const auto discovery = report_builders::service_discovery_report(facts);
    EXPECT_EQ(discovery.reportTypeId, eth::service_discovery_report_type_id);
    EXPECT_EQ(discovery.swId, std::uint16_t{264});
    EXPECT_FALSE(discovery.reserved4.has_value());
    EXPECT_FALSE(discovery.reserved5.has_value());
    EXPECT_EQ(discovery.payload->size(), 1522U);
    EXPECT_EQ(discovery.truncatedLength, std::uint16_t{78});

    const auto classifier = report_builders::classifier_match_report(facts, "classifierMatchReports.match.RULE");
    EXPECT_EQ(classifier.reportTypeId, eth::classifier_match_report_type_id);
    EXPECT_EQ(classifier.timestamp, std::uint64_t{1700000123});
    EXPECT_FALSE(classifier.reserved4.has_value());
    EXPECT_EQ(classifier.logPrefix, std::string("classifierMatchReports.match.RULE"));
    EXPECT_EQ(classifier.truncatedLength, std::uint16_t{78});

    const auto firewall = report_builders::firewall_filter_report(facts, "any firewall rule");
    EXPECT_EQ(firewall.reportTypeId, ipsec::firewall_filter_report_type_id);
    EXPECT_EQ(firewall.swId, std::uint16_t{264});
    EXPECT_FALSE(firewall.reserved4.has_value());
    EXPECT_FALSE(firewall.reserved5.has_value());
    EXPECT_EQ(firewall.logPrefix, std::string("any firewall rule"));
    EXPECT_EQ(firewall.payload->size(), 1522U);
    EXPECT_EQ(firewall.truncatedLength, std::uint16_t{78});
}

TEST(Report_members_test, NegativeSwIdKeepsItsBitPattern) {
    const report_builders::Packet_facts facts{-2, 0, nullptr, 0};
    EXPECT_EQ(report_builders::service_discovery_report(facts).swId, std::uint16_t{0xfffe});
}

class Send_report_test : public Traffic_fixture {
protected:
    Nflog_packet packet_of(const std::vector<std::uint8_t>& bytes, const char* prefix) {
        Nflog_packet packet;
        packet.payload = bytes.data();
        packet.payload_length = static_cast<std::uint32_t>(bytes.size());
        packet.prefix = prefix;
        packet.capture_seconds = 99;
        return packet;
    }
};

TEST_F(Send_report_test, EachKindGoesToItsFieldAsAListOfOne) {
    const auto bytes = pattern(1523);
    std::vector<eth::DT_specialFrameReports_struct> special;
    std::vector<eth::DT_serviceDiscoveryReports_struct> discovery;
    std::vector<eth::DT_classifierMatchReports_struct> classifier;
    EXPECT_CALL(ethernet, update_special_frame_reports(_)).WillOnce([&](const auto& list) { special = list; });
    EXPECT_CALL(ethernet, update_service_discovery_reports(_)).WillOnce([&](const auto& list) { discovery = list; });
    EXPECT_CALL(ethernet, update_classifier_match_reports(_)).WillOnce([&](const auto& list) { classifier = list; });

    const char* rule = "classifierMatchReports.match.RULE";
    EXPECT_EQ(reports.send_traffic_report(packet_of(bytes, rule), Report_kind::special_frame, Frame_kind::DoIP), 0);
    EXPECT_EQ(reports.send_traffic_report(packet_of(bytes, rule), Report_kind::service_discovery, no_special_frame), 0);
    EXPECT_EQ(reports.send_traffic_report(packet_of(bytes, rule), Report_kind::classifier_match, no_special_frame), 0);

    ASSERT_EQ(special.size(), 1U);
    EXPECT_EQ(special[0].frameType, Frame_kind::DoIP);
    EXPECT_EQ(special[0].swId, std::uint16_t{265});
    EXPECT_EQ(special[0].timestamp, std::uint64_t{99});
    EXPECT_EQ(special[0].truncatedLength, std::uint16_t{1});
    ASSERT_EQ(discovery.size(), 1U);
    EXPECT_EQ(discovery[0].payload->size(), 1522U);
    ASSERT_EQ(classifier.size(), 1U);
    EXPECT_EQ(classifier[0].logPrefix, std::string(rule));
    EXPECT_EQ(log.count("Send SpecialFrameReport"), 1);
    EXPECT_EQ(log.count("Send ServiceDiscoveryReport"), 1);
    EXPECT_EQ(log.count("Send ClassifierMatchReport"), 1);
}

TEST_F(Send_report_test, LengthGuardAndUnknownKindRefuseThePacket) {
    EXPECT_CALL(ethernet, update_special_frame_reports(_)).Times(0);
    std::vector<std::uint8_t> big(65536);
    EXPECT_EQ(reports.send_traffic_report(packet_of(big, "p"), Report_kind::special_frame, Frame_kind::DoIP), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[Traffic] payload length out of range = 65536"));

    const auto bytes = pattern(65535);
    EXPECT_CALL(ethernet, update_service_discovery_reports(_)).Times(1);
    EXPECT_EQ(reports.send_traffic_report(packet_of(bytes, "p"), Report_kind::service_discovery, no_special_frame),
              0);

    EXPECT_EQ(reports.send_traffic_report(packet_of(bytes, "p"), Report_kind::none, no_special_frame), 1);
    EXPECT_EQ(reports.send_traffic_report(packet_of(bytes, "p"), static_cast<Report_kind>(4), no_special_frame), 1);
    EXPECT_EQ(log.count("[Traffic] unknown packetType : nothing is send "), 2);
}

TEST_F(Send_report_test, WithoutEthernetServerTheReportIsDroppedButLogged) {
    Report_sender lonely(265, nullptr);
    const auto bytes = pattern(10);
    EXPECT_EQ(lonely.send_traffic_report(packet_of(bytes, "p"), Report_kind::special_frame, Frame_kind::DoIP), 0);
    EXPECT_EQ(log.count("Send SpecialFrameReport"), 1);

    Ethernet_field_server_handle empty_handle(nullptr, "eth");
    Report_sender empty(265, &empty_handle);
    EXPECT_EQ(empty.send_traffic_report(packet_of(bytes, "p"), Report_kind::classifier_match, no_special_frame), 0);
    EXPECT_EQ(log.count("Send ClassifierMatchReport"), 1);
}

TEST_F(Send_report_test, FirewallReportTakesTheLengthAs16BitsWithoutGuard) {
    // 65536 + 10 bytes read as 16 bits is 10 bytes.
    std::vector<std::uint8_t> big = pattern(65546);
    std::vector<ipsec::DT_firewallFilterReports_struct> seen;
    EXPECT_CALL(ipsec, update_firewall_filter_reports(_)).WillOnce([&](const auto& list) { seen = list; });
    const std::uint32_t limit = 1;
    EXPECT_EQ(groups.security_events(packet_of(big, "fw"), limit), 0);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].payload->size(), 10U);
    EXPECT_EQ(seen[0].truncatedLength, std::uint16_t{0});
}

}  // namespace
}  // namespace capture_test
