// The two report rate limiters: windows, unsigned limit comparison, time at
// full resolution, failure accounting and their independence.
#include <gtest/gtest.h>

#include "sensor/capture/rate_limited_publisher.h"
#include "sensor/capture/rate_window.h"
#include "sensor/common/overrun_count.h"
#include "sensor/capture/tests/capture_test_support.h"

namespace capture_test {
namespace {

using namespace std::chrono_literals;
using ::testing::_;
using ::testing::AnyNumber;

class Rate_limit_test : public Traffic_fixture {
protected:
    Rate_limit_test() {
        payload_bytes = pattern(40);
        packet.payload = payload_bytes.data();
        packet.payload_length = static_cast<std::uint32_t>(payload_bytes.size());
        packet.prefix = "specialFrameReports.match.DoIP";
        packet.capture_seconds = 1700000000;
        ON_CALL(ethernet, update_special_frame_reports(_)).WillByDefault([this](const auto&) { ++published; });
        ON_CALL(ipsec, update_firewall_filter_reports(_)).WillByDefault([this](const auto&) { ++firewall_published; });
    }

    int raw(std::uint32_t limit) { return groups.RawIPTraffic(limit, packet, Report_kind::special_frame, Frame_kind::DoIP); }

    void firewall(std::uint32_t limit) {
        Group_dispatch::Firewall_reports reports(1);
        groups.security_events_limit(limit, reports);
    }

    std::vector<std::uint8_t> payload_bytes;
    Nflog_packet packet;
    int published = 0;
    int firewall_published = 0;
};

TEST_F(Rate_limit_test, LimitTwoLetsThreeOfTenThroughWithinHalfASecond) {
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(raw(2), 0);
        Manual_clock::advance(50ms);
    }
    EXPECT_EQ(published, 3);
    EXPECT_EQ(log.count("[RawIPTraffic] Dropping packets."), 7);
    EXPECT_EQ(log.count("[RawIPTraffic] packet number = 1"), 1);
    EXPECT_EQ(log.count("[RawIPTraffic] packet number = 3"), 1);
    EXPECT_EQ(log.count("[RawIPTraffic] Time passed =100"), 1);
}

TEST_F(Rate_limit_test, LimitZeroPassesOneReportPerWindow) {
    // Three windows of 1.2 s with a report every 100 ms.
    for (int i = 0; i < 36; ++i) {
        raw(0);
        Manual_clock::advance(100ms);
    }
    // First window: count 0 passes; later windows: only the opening report.
    // Windows open after 1100 ms of accumulated time: at calls 11, 22, 33.
    EXPECT_EQ(published, 4);
    EXPECT_EQ(log.count("[RawIPTraffic] Resetting time passed."), 3);
    EXPECT_EQ(log.count("[RawIPTraffic] Time passed =1100"), 3);
    EXPECT_EQ(log.count("[RawIPTraffic] Successfully sent packet number = 1"), 3);
}

TEST_F(Rate_limit_test, LargestLimitsLetEverythingThrough) {
    for (std::uint32_t limit : {0x80000000U, 0xFFFFFFFFU}) {
        Rate_window window;
        for (int i = 0; i < 5; ++i) {
            window.advance(Manual_clock::read());
            EXPECT_FALSE(window.over_limit(limit)) << limit;
            window.count_publication();
        }
    }
    for (int i = 0; i < 22; ++i) {
        raw(0xFFFFFFFFU);
        Manual_clock::advance(100ms);
    }
    EXPECT_EQ(published, 22);
    EXPECT_EQ(log.count("[RawIPTraffic] Dropping packets."), 0);
}

TEST_F(Rate_limit_test, GapOfMoreThanAWindowAlwaysOpensOneAndExactlyAWindowDoesNot) {
    raw(0);  // count 0 passes
    raw(0);  // dropped
    EXPECT_EQ(published, 1);
    Manual_clock::advance(1000ms);
    raw(0);
    EXPECT_EQ(published, 1) << "1000 ms is not more than the window";
    Manual_clock::advance(1ms);
    raw(0);
    EXPECT_EQ(published, 2);
    EXPECT_EQ(log.count("[RawIPTraffic] Time passed =1001"), 1);
    // Even a huge count would not matter: the opening report always passes.
    for (int i = 0; i < 100; ++i) {
        raw(5);
    }
    const int before = published;
    Manual_clock::advance(1500ms);
    raw(5);
    EXPECT_EQ(published, before + 1);
}

TEST_F(Rate_limit_test, ClockSetBackDoesNotHoldTheWindowShut) {
    raw(0);
    raw(0);
    EXPECT_EQ(published, 1);
    Manual_clock::advance(-std::chrono::hours(1));
    raw(0);
    Manual_clock::advance(1001ms);
    raw(0);
    EXPECT_EQ(published, 2) << "a new window opens after 1001 ms of forward time";
}

TEST_F(Rate_limit_test, SubMillisecondGapsAddUpToNewWindows) {
    // 3000 calls 0.9 ms apart span 2.7 s: windows open after 1.0009 s and
    // 2.0018 s, each letting the opening report and one more through.
    for (int i = 0; i < 3000; ++i) {
        raw(1);
        Manual_clock::advance(900us);
    }
    EXPECT_EQ(log.count("[RawIPTraffic] Resetting time passed."), 2);
    EXPECT_EQ(published, 2 + 2 + 2);
    // Back-to-back calls (no time between them) never open a window alone.
    Rate_window window;
    for (int i = 0; i < 100; ++i) {
        EXPECT_NE(window.decide(Manual_clock::read(), 1000, 0), Rate_window::Decision::open_window);
    }
}

TEST_F(Rate_limit_test, RefusedReportIsCountedAsFailureAndDoesNotRaiseTheCount) {
    std::vector<std::uint8_t> big(70000);
    Nflog_packet oversized = packet;
    oversized.payload = big.data();
    oversized.payload_length = 70000;
    EXPECT_EQ(groups.RawIPTraffic(0, oversized, Report_kind::special_frame, Frame_kind::DoIP), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[Traffic] payload length out of range = 70000"));
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[RawIPTraffic] Failed to send_packet number = 0"));
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[RawIPTraffic] Time passed =0"));
    // The count is still 0, so with limit 0 a good report passes.
    EXPECT_EQ(raw(0), 0);
    EXPECT_EQ(published, 1);

    // A refused opening report logs the failure with the new window's count.
    Manual_clock::advance(2s);
    EXPECT_EQ(groups.RawIPTraffic(0, oversized, Report_kind::special_frame, Frame_kind::DoIP), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[RawIPTraffic] Failed to send_packet number = 1"));
}

TEST_F(Rate_limit_test, FirewallLimiterFollowsTheSameWindowsAndLogsItsOwnLines) {
    for (int i = 0; i < 10; ++i) {
        firewall(2);
        Manual_clock::advance(50ms);
    }
    EXPECT_EQ(firewall_published, 3);
    EXPECT_EQ(log.count("[security_events_limit] Dropping packets."), 7);
    EXPECT_EQ(log.count("[security_events_limit] packet number = 3"), 1);
    Manual_clock::advance(600ms);
    firewall(2);
    EXPECT_EQ(firewall_published, 4);
    EXPECT_EQ(log.count("[security_events_limit] Time passed =1100"), 1);
    EXPECT_EQ(log.count("[security_events_limit] Resetting time passed."), 1);
}

TEST_F(Rate_limit_test, FloodOnOneLimiterDoesNotDropTheOther) {
    for (int i = 0; i < 500; ++i) {
        raw(1);
    }
    EXPECT_EQ(published, 2);
    firewall(1);
    firewall(1);
    EXPECT_EQ(firewall_published, 2);
    for (int i = 0; i < 500; ++i) {
        firewall(0);
    }
    Manual_clock::advance(200ms);
    // The Ethernet window is still the first one and its count is spent;
    // the firewall flood did not open a window for it.
    raw(1);
    EXPECT_EQ(published, 2);
}

// Drops are counted per report kind and written at info level at most once a
// minute while they happen; the rest is written when the capture closes.
TEST_F(Rate_limit_test, DroppedReportsAreCountedPerKindAtMostOnceAMinute) {
    const auto info_lines = [this] { return log.texts(ara::log::LogLevel::kInfo); };
    Nflog_packet sd = packet;
    sd.prefix = "serviceDiscoveryReports.match.SD";
    // Limit 0: the first report of the window passes, every other is dropped.
    raw(0);
    raw(0);
    groups.report_drops();  // the loop's next pass tells the first drop at once
    for (int i = 0; i < 5; ++i) {
        raw(0);
        groups.RawIPTraffic(0, sd, Report_kind::service_discovery, no_special_frame);
        firewall(0);
        firewall(0);
        Manual_clock::advance(100ms);
        groups.report_drops();
    }
    groups.report_drops();
    EXPECT_EQ(info_lines(), (std::vector<std::string>{
                                "[RawIPTraffic] reports dropped by the rate limit since the last count: "
                                "specialFrameReports 1",
                                "[security_events_limit] reports dropped by the rate limit since the last count: "
                                "firewallFilterReports 1",
                            }));
    log.clear();
    Manual_clock::advance(std::chrono::seconds(60));
    groups.report_drops();
    EXPECT_EQ(info_lines(), (std::vector<std::string>{
                                "[RawIPTraffic] reports dropped by the rate limit since the last count: "
                                "specialFrameReports 5, serviceDiscoveryReports 5",
                                "[security_events_limit] reports dropped by the rate limit since the last count: "
                                "firewallFilterReports 8",
                            }));
    // Nothing dropped since: no line, however long it has been.
    log.clear();
    Manual_clock::advance(std::chrono::seconds(120));
    groups.report_drops();
    EXPECT_TRUE(info_lines().empty());
}

// The limiter on its own, with a publication whose outcome the test chooses.
class Publisher_test : public ::testing::Test {
protected:
    int offer(std::uint32_t limit, int outcome, const char* kind = "specialFrameReports") {
        return publisher.offer(Manual_clock::read(), 1000, limit, kind, [this, outcome] {
            ++attempts;
            return outcome;
        });
    }

    Log_recorder log;
    Rate_limited_publisher publisher{"[Test]", true};
    int attempts = 0;
};

TEST_F(Publisher_test, FailedPublicationLeavesTheWindowsCountUnspent) {
    Manual_clock::reset();
    EXPECT_EQ(offer(1, 0), 0);  // opens the window
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(offer(1, 7), 7) << "a refused report is attempted and its result returned";
    }
    EXPECT_EQ(attempts, 4);
    EXPECT_EQ(offer(1, 0), 0);
    EXPECT_EQ(attempts, 5) << "the one report the limit allows still leaves";
    EXPECT_EQ(offer(1, 0), 0);
    EXPECT_EQ(attempts, 5) << "now the count is spent";
}

TEST_F(Publisher_test, WindowReopensOnlyAfterItsLength) {
    Manual_clock::reset();
    offer(0, 0);
    offer(0, 0);
    EXPECT_EQ(attempts, 1);
    Manual_clock::advance(999ms);
    offer(0, 0);
    EXPECT_EQ(attempts, 1);
    Manual_clock::advance(2ms);
    offer(0, 0);
    EXPECT_EQ(attempts, 2) << "only the opening report of the new window";
    offer(0, 0);
    EXPECT_EQ(attempts, 2);
}

TEST_F(Publisher_test, DropsOfTheSameKindAreCountedTogetherWhateverTheStringsAddress) {
    Manual_clock::reset();
    char first[] = "serviceDiscoveryReports";
    char second[] = "serviceDiscoveryReports";
    offer(0, 0, first);
    offer(0, 0, first);
    offer(0, 0, second);
    offer(0, 0, "specialFrameReports");
    publisher.flush_drops();
    const auto lines = log.texts(ara::log::LogLevel::kInfo);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find("serviceDiscoveryReports 2"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("specialFrameReports 1"), std::string::npos) << lines[0];
    // Flushing emptied the counts: nothing more to write.
    log.clear();
    publisher.flush_drops();
    publisher.report_drops(Manual_clock::read() + std::chrono::hours(1));
    EXPECT_TRUE(log.texts(ara::log::LogLevel::kInfo).empty());
}

TEST_F(Publisher_test, MoreKindsThanSlotsAreSurvived) {
    Manual_clock::reset();
    const char* kinds[] = {"k1", "k2", "k3", "k4", "k5", "k6"};
    offer(0, 0);
    for (int round = 0; round < 2; ++round) {
        for (const char* kind : kinds) {
            EXPECT_EQ(offer(0, 0, kind), 0);
        }
    }
    EXPECT_EQ(attempts, 1);
    publisher.flush_drops();
    const auto lines = log.texts(ara::log::LogLevel::kInfo);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find("k1 2"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("k4 2"), std::string::npos) << lines[0];
}

TEST(Overrun_count, WarnsAtMostOncePerSecondWithTheRunningTotal) {
    Overrun_count count;
    const Overrun_count::Clock::time_point start{std::chrono::hours(1)};
    EXPECT_FALSE(count.add(0, start)) << "nothing lost, nothing to warn about";
    EXPECT_EQ(count.total(), 0U);
    EXPECT_TRUE(count.add(3, start));
    EXPECT_FALSE(count.add(4, start + 999ms));
    EXPECT_EQ(count.total(), 7U) << "suppressed losses still add up";
    EXPECT_FALSE(count.add(0, start + 5s)) << "no new loss, no warning however late";
    EXPECT_TRUE(count.add(1, start + 5s));
    EXPECT_EQ(count.total(), 8U);
    EXPECT_FALSE(count.add(1, start + 5s + 500ms));
    EXPECT_TRUE(count.add(1, start + 6s));
    EXPECT_EQ(count.total(), 10U);
}

}  // namespace
}  // namespace capture_test
