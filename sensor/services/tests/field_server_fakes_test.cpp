// The shared fakes: benchmark figures and runtime tests rest on what they count.
#include "sensor/services/testing/field_server_fakes.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace eth = ksr::services::idsethernetsensor::datatypes;

TEST(Fake_ethernet_server, ForwardsEveryCallAndCountsOnlyPacketReports) {
    Fake_ethernet_server inner;
    Fake_ethernet_server outer(&inner);
    outer.init("7");
    outer.offer_service();
    outer.update_special_frame_reports({eth::DT_specialFrameReports_struct{}});
    outer.update_service_discovery_reports({eth::DT_serviceDiscoveryReports_struct{}});
    outer.update_classifier_match_reports({eth::DT_classifierMatchReports_struct{}});
    outer.update_traffic_flow_samples({eth::DT_trafficFlowSamples_struct{}, eth::DT_trafficFlowSamples_struct{}});
    outer.stop_offer_service();

    const std::vector<std::string> expected{"init 7", "offer", "stop"};
    EXPECT_EQ(outer.calls(), expected);
    EXPECT_EQ(inner.calls(), expected);
    EXPECT_EQ(outer.reports(), 3U);
    EXPECT_EQ(inner.reports(), 3U);
    ASSERT_EQ(inner.samples().size(), 1U);
    EXPECT_EQ(inner.samples()[0].size(), 2U);
    EXPECT_EQ(outer.stops(), 1);
}

TEST(Fake_ethernet_server, FailingFlowSamplesThrowAndReachNobody) {
    Fake_ethernet_server inner;
    Fake_ethernet_server outer(&inner);
    outer.fail_flow_samples();
    EXPECT_THROW(outer.update_traffic_flow_samples({eth::DT_trafficFlowSamples_struct{}}), std::runtime_error);
    EXPECT_TRUE(outer.samples().empty());
    EXPECT_TRUE(inner.samples().empty());
}

}  // namespace
