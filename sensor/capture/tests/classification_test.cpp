// Prefix classification, the two packet handlers and their health
// checkpoints.
#include <gtest/gtest.h>

#include "sensor/capture/tests/capture_test_support.h"

namespace capture_test {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Test;

struct Prefix_case {
    const char* prefix;
    Report_kind report_kind;
    Frame_kind frame_kind;
};

class Match_prefix_test : public Traffic_fixture {};

TEST_F(Match_prefix_test, EveryTableEntryGivesItsKinds) {
    const Prefix_case table[] = {
        {"specialFrameReports.match.DHCPv6", Report_kind::special_frame, Frame_kind::DHCPv6},
        {"specialFrameReports.match.ICMPv6", Report_kind::special_frame, Frame_kind::ICMPv6},
        {"specialFrameReports.match.TCP_CNTL", Report_kind::special_frame, Frame_kind::TCP_CNTL},
        {"specialFrameReports.match.XCP", Report_kind::special_frame, Frame_kind::XCP},
        {"specialFrameReports.match.DoIP", Report_kind::special_frame, Frame_kind::DoIP},
        {"specialFrameReports.match.UDSoverIP", Report_kind::special_frame, Frame_kind::UDSoverIP},
        {"specialFrameReports.match.L2TP", Report_kind::special_frame, Frame_kind::L2TP},
        {"specialFrameReports.match.IPv4", Report_kind::special_frame, Frame_kind::IPv4},
        {"serviceDiscoveryReports.match.SD", Report_kind::service_discovery, no_special_frame},
        {"classifierMatchReports.match.RULE", Report_kind::classifier_match, no_special_frame},
    };
    for (const auto& entry : table) {
        const auto found = groups.match_prefix(entry.prefix);
        ASSERT_TRUE(found.has_value()) << entry.prefix;
        EXPECT_EQ(found->report_kind, entry.report_kind) << entry.prefix;
        EXPECT_EQ(found->frame_kind, entry.frame_kind) << entry.prefix;
    }
    EXPECT_EQ(log.count("No valid prefix"), 0);
}

TEST_F(Match_prefix_test, PrefixesDifferingInCaseOrLengthDoNotMatch) {
    for (const char* prefix : {"specialFrameReports.match.dhcpv6", "SPECIALFRAMEREPORTS.MATCH.DOIP",
                               "specialFrameReports.match.DoIP ", "specialFrameReports.match.DoIPx",
                               "specialFrameReports.match.DoI", "specialFrameReports.match.", "",
                               "classifierMatchReports.match.RULE2"}) {
        log.clear();
        EXPECT_FALSE(groups.match_prefix(prefix).has_value()) << '"' << prefix << '"';
        EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "No valid prefix"));
    }
}

class Raw_ip_handler_test : public Traffic_fixture {
protected:
    Nflog_packet packet_with(const char* prefix) {
        Nflog_packet packet;
        packet.prefix = prefix;
        packet.payload = payload.data();
        packet.payload_length = static_cast<std::uint32_t>(payload.size());
        packet.capture_seconds = 1234;
        return packet;
    }
    std::vector<std::uint8_t> payload = pattern(60);
};

TEST_F(Raw_ip_handler_test, ReportsEachKindBetweenBothCheckpoints) {
    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(1, 1));
        EXPECT_CALL(ethernet, update_special_frame_reports(_));
        EXPECT_CALL(phm, CheckpointReached(1, 2));
        EXPECT_CALL(phm, CheckpointReached(1, 1));
        EXPECT_CALL(ethernet, update_service_discovery_reports(_));
        EXPECT_CALL(phm, CheckpointReached(1, 2));
        EXPECT_CALL(phm, CheckpointReached(1, 1));
        EXPECT_CALL(ethernet, update_classifier_match_reports(_));
        EXPECT_CALL(phm, CheckpointReached(1, 2));
    }
    const std::uint32_t limit = 10;
    EXPECT_EQ(groups.raw_ip_traffic_event(packet_with("specialFrameReports.match.L2TP"), limit), 0);
    EXPECT_EQ(groups.raw_ip_traffic_event(packet_with("serviceDiscoveryReports.match.SD"), limit), 0);
    EXPECT_EQ(groups.raw_ip_traffic_event(packet_with("classifierMatchReports.match.RULE"), limit), 0);
}

TEST_F(Raw_ip_handler_test, FailuresStillReportBothCheckpoints) {
    EXPECT_CALL(ethernet, update_special_frame_reports(_)).Times(0);
    EXPECT_CALL(ethernet, update_service_discovery_reports(_)).Times(0);
    EXPECT_CALL(ethernet, update_classifier_match_reports(_)).Times(0);
    const std::uint32_t limit = 10;

    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(1, 1));
        EXPECT_CALL(phm, CheckpointReached(1, 2));
    }
    EXPECT_EQ(groups.raw_ip_traffic_event(packet_with(nullptr), limit), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[Traffic] prefix_data pointer Not valid"));
    ::testing::Mock::VerifyAndClearExpectations(&phm);

    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(1, 1));
        EXPECT_CALL(phm, CheckpointReached(1, 2));
    }
    log.clear();
    EXPECT_EQ(groups.raw_ip_traffic_event(packet_with("specialFrameReports.match.dhcpv6"), limit), 1);
    const std::vector<std::string> expected{
        "No valid prefix", "[Traffic] No valid Prefix",
        "[Traffic] unknown log prefix \"specialFrameReports.match.dhcpv6\" on NFLOG group 101"};
    EXPECT_EQ(log.texts(), expected);
    ::testing::Mock::VerifyAndClearExpectations(&phm);

    // A payload too long for the report is refused by the builder.
    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(1, 1));
        EXPECT_CALL(phm, CheckpointReached(1, 2));
    }
    Nflog_packet oversized = packet_with("specialFrameReports.match.IPv4");
    std::vector<std::uint8_t> big(65536);
    oversized.payload = big.data();
    oversized.payload_length = 65536;
    EXPECT_EQ(groups.raw_ip_traffic_event(oversized, limit), 1);
}

TEST_F(Raw_ip_handler_test, DroppedByTheLimiterCountsAsHandled) {
    EXPECT_CALL(ethernet, update_special_frame_reports(_)).Times(1);
    EXPECT_CALL(phm, CheckpointReached(1, 1)).Times(3);
    EXPECT_CALL(phm, CheckpointReached(1, 2)).Times(3);
    const std::uint32_t limit = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(groups.raw_ip_traffic_event(packet_with("specialFrameReports.match.XCP"), limit), 0);
    }
}

class Security_events_test : public Raw_ip_handler_test {};

TEST_F(Security_events_test, AnyPrefixBecomesAFirewallReport) {
    std::vector<ipsec::DT_firewallFilterReports_struct> seen;
    EXPECT_CALL(ipsec, update_firewall_filter_reports(_))
        .Times(2)
        .WillRepeatedly([&](const auto& reports) { seen.insert(seen.end(), reports.begin(), reports.end()); });
    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(2, 3));
        EXPECT_CALL(phm, CheckpointReached(2, 4));
        EXPECT_CALL(phm, CheckpointReached(2, 3));
        EXPECT_CALL(phm, CheckpointReached(2, 4));
    }
    const std::uint32_t limit = 5;
    EXPECT_EQ(groups.security_events(packet_with("specialFrameReports.match.DoIP"), limit), 0);
    EXPECT_EQ(groups.security_events(packet_with("fw-drop INPUT"), limit), 0);
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].logPrefix, "specialFrameReports.match.DoIP");
    EXPECT_EQ(seen[1].logPrefix, "fw-drop INPUT");
    EXPECT_EQ(seen[1].reportTypeId, ipsec::firewall_filter_report_type_id);
}

TEST_F(Security_events_test, MissingPrefixFailsBetweenBothCheckpoints) {
    EXPECT_CALL(ipsec, update_firewall_filter_reports(_)).Times(0);
    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(2, 3));
        EXPECT_CALL(phm, CheckpointReached(2, 4));
    }
    const std::uint32_t limit = 5;
    EXPECT_EQ(groups.security_events(packet_with(nullptr), limit), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[security_events] prefix_data pointer Not valid"));
}

TEST_F(Security_events_test, WithoutIpsecServerTheLimiterIsNotAsked) {
    Group_dispatch lonely(265, &ethernet_handle, nullptr, &phm, &Manual_clock::read);
    EXPECT_CALL(phm, CheckpointReached(2, 3));
    EXPECT_CALL(phm, CheckpointReached(2, 4));
    const std::uint32_t limit = 5;
    EXPECT_EQ(lonely.security_events(packet_with("fw"), limit), 0);
    EXPECT_EQ(log.count("[security_events_limit] packet number = 1"), 0);
}

}  // namespace
}  // namespace capture_test
