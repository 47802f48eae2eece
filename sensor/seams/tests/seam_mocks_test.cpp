#include "sensor/seams/testing/seam_mocks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

using ::testing::_;
using ::testing::Return;

// The mocks are what the users of the seams test against; they must stand in
// for the real objects behind IDS_interfaces.
TEST(SeamMocks, StandInForTheSeamsBehindTheRecord) {
    Mock_Systemcall_API sys;
    Mock_ARA_EM_Appclient em;
    Mock_ARA_PHM_API phm;
    Mock_Pcap_API pcap;
    Mock_Nl_API nl;
    IDS_interfaces interfaces{&sys, &em, &phm, &pcap, &nl, nullptr, nullptr};

    EXPECT_CALL(em, ReportApplicationState(ara::exec::ApplicationState::kRunning))
        .WillOnce(Return(ara::exec::ApplicationReturnType::kGeneralError));
    EXPECT_CALL(phm, CheckpointReached(1, 2));
    EXPECT_CALL(pcap, nflog_create(_, _, _)).WillOnce(Return(nullptr));

    EXPECT_EQ(interfaces.em_appclient->ReportApplicationState(ara::exec::ApplicationState::kRunning),
              ara::exec::ApplicationReturnType::kGeneralError);
    interfaces.phm_api->CheckpointReached(1, 2);
    int is_ours = 0;
    EXPECT_EQ(interfaces.pcap_api->nflog_create("nflog:101,102", nullptr, &is_ours), nullptr);
}

TEST(SeamMocks, PcapMockWalksMessagesWithTheRealHelpers) {
    ::testing::NiceMock<Mock_Pcap_API> pcap;
    const u_char message[] = {2, 0, 0, 101, 6, 0, 10, 0, 'a', 0, 0, 0};
    const nflog_tlv_t* t = pcap.nflog_first_tlv(message);
    int left = 8;
    ASSERT_TRUE(pcap.nflog_tlv_ok(t, left));
    EXPECT_EQ(pcap.nflog_tlv_type(t), 10);
    EXPECT_EQ(pcap.nflog_tlv_value_len(t), 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(pcap.nflog_tlv_value(t)), "a");
    t = pcap.nflog_next_tlv(t, left);
    EXPECT_EQ(left, 0);
    EXPECT_FALSE(pcap.nflog_tlv_ok(t, left));
    EXPECT_EQ(pcap.net_to_host16(htons(101)), 101);
}

}  // namespace
