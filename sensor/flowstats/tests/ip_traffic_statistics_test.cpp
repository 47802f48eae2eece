#include "sensor/flowstats/ip_traffic_statistics.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ara/log/logging.h"
#include "sensor/common/terminate_flag.h"
#include "sensor/seams/testing/log_recorder.h"
#include "sensor/seams/testing/seam_mocks.h"
#include "sensor/services/testing/field_server_fakes.h"

namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Ge;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrEq;
using ::testing::StrictMock;
using ara::log::LogLevel;
namespace datatypes = ksr::services::idsethernetsensor::datatypes;

// Fake handles: the code under test only passes them back to the seam.
nl_sock* const kSocket = reinterpret_cast<nl_sock*>(0x1000);
nfnl_ct* const kConntrack = reinterpret_cast<nfnl_ct*>(0x2000);
nl_cache* const kCache = reinterpret_cast<nl_cache*>(0x3000);
nl_addr* const kSrc = reinterpret_cast<nl_addr*>(0x4000);
nl_addr* const kDst = reinterpret_cast<nl_addr*>(0x5000);
nl_msg* const kMessage = reinterpret_cast<nl_msg*>(0x6000);

class Flow_statistics : public ::testing::Test {
protected:
    // Copies the text into the caller's buffer the way nl_addr2str does.
    static auto address_text(const char* text) {
        return [text](const nl_addr*, char* buffer, std::size_t size) {
            std::strncpy(buffer, text, size - 1);
            buffer[size - 1] = '\0';
            return buffer;
        };
    }

    void script_sample_getters(const char* src, const char* dst) {
        ON_CALL(nl, nfnl_ct_get_src(kConntrack, 0)).WillByDefault(Return(kSrc));
        ON_CALL(nl, nfnl_ct_get_dst(kConntrack, 0)).WillByDefault(Return(kDst));
        ON_CALL(nl, nl_addr2str(kSrc, _, 46)).WillByDefault(Invoke(address_text(src)));
        ON_CALL(nl, nl_addr2str(kDst, _, 46)).WillByDefault(Invoke(address_text(dst)));
        ON_CALL(nl, nfnl_ct_get_timestamp(kConntrack)).WillByDefault(Return(&stamp));
        ON_CALL(nl, nfnl_ct_get_proto(kConntrack)).WillByDefault(Return(17));
        ON_CALL(nl, nfnl_ct_get_src_port(kConntrack, 0)).WillByDefault(Return(40001));
        ON_CALL(nl, nfnl_ct_get_dst_port(kConntrack, 0)).WillByDefault(Return(13400));
        ON_CALL(nl, nfnl_ct_get_packets(kConntrack, 0)).WillByDefault(Return((1ULL << 32) + 7));
        ON_CALL(nl, nfnl_ct_get_bytes(kConntrack, 0)).WillByDefault(Return((1ULL << 40) + 3));
    }

    Log_recorder log;
    NiceMock<Mock_Nl_API> nl;
    NiceMock<Mock_ARA_PHM_API> phm;
    Fake_ethernet_server server;
    Ethernet_field_server_handle handle{&server, "1"};
    nfnl_ct_timestamp stamp{1700000000123456789ULL, 1700000001000000000ULL};
};

TEST_F(Flow_statistics, InitConfiguresTheSocketJoiningGroupsBeforeConnecting) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    {
        InSequence order;
        EXPECT_CALL(nl, nl_socket_alloc()).WillOnce(Return(kSocket));
        EXPECT_CALL(nl, nfnl_ct_alloc()).WillOnce(Return(kConntrack));
        EXPECT_CALL(nl, nfnl_ct_set_family(kConntrack, 10));
        EXPECT_CALL(nl, nl_socket_disable_seq_check(kSocket));
        EXPECT_CALL(nl, nl_socket_modify_cb(kSocket, &IPTrafficStatistics::ct_event, &stats));
        EXPECT_CALL(nl, nl_join_groups(kSocket, 5));
        EXPECT_CALL(nl, nl_connect(kSocket, 12));
        EXPECT_CALL(nl, set_receive_buffer(kSocket, Ge(4 * 1024 * 1024)));
        EXPECT_CALL(nl, nl_cache_alloc_name(StrEq("netfilter/ct"), _))
            .WillOnce(DoAll(SetArgPointee<1>(kCache), Return(0)));
    }
    EXPECT_EQ(stats.init(42), 0);
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]:init"));
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: SWID_QEMU"));
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: Finished init"));
    EXPECT_FALSE(log.has(LogLevel::kError, "[IPTrafficStatistics]:ERROR no field server available"));
}

TEST_F(Flow_statistics, InitNamesThePartition) {
    const std::pair<std::int16_t, const char*> cases[] = {{264, "[IPTrafficStatistics]: VM_HOUSEKEEPING"},
                                                          {265, "[IPTrafficStatistics]: VM_ADAPTIVE"},
                                                          {266, "[IPTrafficStatistics]: VM_JAVA"},
                                                          {7, "[IPTrafficStatistics]: SWID_QEMU"}};
    ON_CALL(nl, nl_socket_alloc()).WillByDefault(Return(kSocket));
    ON_CALL(nl, nfnl_ct_alloc()).WillByDefault(Return(kConntrack));
    for (const auto& [sw_id, line] : cases) {
        IPTrafficStatistics stats(&nl, &phm, sw_id, &handle);
        log.clear();
        stats.init(sw_id);
        EXPECT_TRUE(log.has(LogLevel::kDebug, line)) << sw_id;
    }
}

TEST_F(Flow_statistics, InitFailsWhenAllocationsFail) {
    {
        IPTrafficStatistics stats(&nl, &phm, 42, &handle);
        EXPECT_CALL(nl, nl_socket_alloc()).WillOnce(Return(nullptr));
        EXPECT_CALL(nl, nfnl_ct_alloc()).WillOnce(Return(kConntrack));
        EXPECT_CALL(nl, nl_connect(_, _)).Times(0);
        EXPECT_CALL(nl, nl_cache_alloc_name(_, _)).Times(0);
        EXPECT_EQ(stats.init(42), 1);
        EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc socket (sk)"));
        EXPECT_FALSE(log.has(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc conntrack"));
        EXPECT_FALSE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: Finished init"));
    }
    log.clear();
    {
        IPTrafficStatistics stats(&nl, &phm, 42, &handle);
        EXPECT_CALL(nl, nl_socket_alloc()).WillOnce(Return(kSocket));
        EXPECT_CALL(nl, nfnl_ct_alloc()).WillOnce(Return(nullptr));
        EXPECT_CALL(nl, nl_connect(_, _)).Times(0);
        EXPECT_EQ(stats.init(42), 1);
        EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc conntrack"));
        EXPECT_FALSE(log.has(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc socket (sk)"));
        // The socket that was allocated is not left behind.
        EXPECT_CALL(nl, nl_socket_free(kSocket));
    }
}

TEST_F(Flow_statistics, InitWithoutFieldServerLogsAndGoesOn) {
    IPTrafficStatistics stats(&nl, &phm, 42, nullptr);
    ON_CALL(nl, nl_socket_alloc()).WillByDefault(Return(kSocket));
    ON_CALL(nl, nfnl_ct_alloc()).WillByDefault(Return(kConntrack));
    EXPECT_CALL(nl, nl_connect(kSocket, 12));
    EXPECT_EQ(stats.init(42), 0);
    EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]:ERROR no field server available"));
}

class Prepare : public Flow_statistics {
protected:
    Prepare() {
        EXPECT_EQ(pipe(fds), 0);
        ON_CALL(nl, nl_socket_alloc()).WillByDefault(Return(kSocket));
        ON_CALL(nl, nfnl_ct_alloc()).WillByDefault(Return(kConntrack));
        ON_CALL(nl, nl_socket_get_fd(kSocket)).WillByDefault(Return(fds[0]));
    }
    ~Prepare() override {
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

TEST_F(Prepare, NegativeDescriptorFails) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    stats.init(42);
    EXPECT_CALL(nl, nl_socket_get_fd(kSocket)).WillOnce(Return(-1));
    EXPECT_CALL(nl, nl_socket_set_nonblocking(_)).Times(0);
    EXPECT_EQ(stats.prepare(), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]:File descriptor not available"));
}

TEST_F(Prepare, BlockingDescriptorIsSwitched) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    stats.init(42);
    EXPECT_CALL(nl, nl_socket_set_nonblocking(kSocket)).WillOnce(Invoke([this](const nl_sock*) {
        return fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }));
    EXPECT_EQ(stats.prepare(), 0);
    EXPECT_EQ(stats.descriptor(), fds[0]);
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]:SOCKET sk is in blocking mode "));
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: SOCKET is now in non-blocking mode "));
}

TEST_F(Prepare, AlreadyNonBlockingDescriptorIsLeftAlone) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    stats.init(42);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    EXPECT_CALL(nl, nl_socket_set_nonblocking(_)).Times(0);
    EXPECT_EQ(stats.prepare(), 0);
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: SOCKET sk is in non-blocking mode "));
}

TEST_F(Prepare, FailedSwitchLeavesPrepareFailing) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    stats.init(42);
    EXPECT_CALL(nl, nl_socket_set_nonblocking(kSocket)).WillOnce(Return(-NLE_BAD_SOCK));
    EXPECT_EQ(stats.prepare(), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]: SOCKET sk CAN'T CHANGE blocking mode "));
    EXPECT_FALSE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: SOCKET is now in non-blocking mode "));
}

// Each failing set-up step ends init with one error line and no later step;
// nothing ends the process.
TEST_F(Flow_statistics, InitChecksEverySetUpStep) {
    const auto fresh_mock = [this] {
        ::testing::Mock::VerifyAndClearExpectations(&nl);
        ON_CALL(nl, nl_socket_alloc()).WillByDefault(Return(kSocket));
        ON_CALL(nl, nfnl_ct_alloc()).WillByDefault(Return(kConntrack));
        ON_CALL(nl, nl_geterror(_)).WillByDefault(Return("Unspecific failure"));
        ON_CALL(nl, nl_geterror(-NLE_PERM)).WillByDefault(Return("Operation not permitted"));
        log.clear();
    };
    fresh_mock();
    {
        IPTrafficStatistics stats(&nl, &phm, 42, &handle);
        EXPECT_CALL(nl, nl_socket_modify_cb(_, _, _)).WillOnce(Return(-NLE_NOMEM));
        EXPECT_CALL(nl, nl_connect(_, _)).Times(0);
        EXPECT_EQ(stats.init(42), 1);
        EXPECT_TRUE(log.has(LogLevel::kError,
                           "[IPTrafficStatistics]:cannot install the conntrack event callback: Unspecific failure"));
        EXPECT_CALL(nl, nl_socket_free(kSocket));
        EXPECT_CALL(nl, nfnl_ct_put(kConntrack));
    }
    fresh_mock();
    {
        // Joining the groups without CAP_NET_ADMIN: the bind is refused.
        IPTrafficStatistics stats(&nl, &phm, 42, &handle);
        EXPECT_CALL(nl, nl_connect(kSocket, 12)).WillOnce(Return(-NLE_PERM));
        EXPECT_CALL(nl, nl_cache_alloc_name(_, _)).Times(0);
        EXPECT_EQ(stats.init(42), 1);
        EXPECT_TRUE(log.has(LogLevel::kError,
                           "[IPTrafficStatistics]:cannot join the conntrack event groups: Operation not permitted"));
        EXPECT_FALSE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: Finished init"));
    }
    fresh_mock();
    {
        IPTrafficStatistics stats(&nl, &phm, 42, &handle);
        EXPECT_CALL(nl, nl_cache_alloc_name(_, _)).WillOnce(Return(-NLE_NOMEM));
        EXPECT_EQ(stats.init(42), 1);
        EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc conntrack cache: Unspecific failure"));
        EXPECT_CALL(nl, nl_cache_free(_)).Times(0);
    }
}

class Receive_loop : public Flow_statistics {
protected:
    Receive_loop() { clear_stop_request(); }
    ~Receive_loop() override { clear_stop_request(); }
};

// A wake-up reads until the socket reports nothing left; an overrun is
// counted and reading goes on; a quiet wait reads nothing; after the stop
// what is queued is still read.
TEST_F(Receive_loop, WaitsOnSocketAndStopEventAndDrainsEachWakeUp) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    int passes = 0;
    EXPECT_CALL(nl, poll(_, 2u, 100)).WillRepeatedly(Invoke([&](pollfd* fds, nfds_t, int) {
        EXPECT_EQ(fds[0].fd, stats.descriptor());
        EXPECT_EQ(fds[1].fd, stop_event_fd());
        EXPECT_EQ(fds[0].events & POLLIN, POLLIN);
        EXPECT_EQ(fds[1].events & POLLIN, POLLIN);
        ++passes;
        if (passes == 3) {
            request_stop();
        }
        return passes == 2 ? 0 : 1;
    }));
    int receives = 0;
    const std::vector<int> results{0, -NLE_NOMEM, 0, -NLE_AGAIN, 0, -NLE_AGAIN};
    EXPECT_CALL(nl, nl_recvmsgs_default(_)).WillRepeatedly(Invoke([&](nl_sock*) {
        return results.at(static_cast<std::size_t>(receives++));
    }));
    stats.start();
    EXPECT_EQ(passes, 3);
    // Pass 1: four receives up to the empty socket; pass 2 quiet; pass 3
    // stops; then two receives up to the empty socket.
    EXPECT_EQ(receives, 6);
    EXPECT_TRUE(log.has(LogLevel::kWarn,
                       "[IPTrafficStatistics]: receive buffer overrun, conntrack events lost; overruns so far: 1"));
    stats.stop();
    EXPECT_TRUE(log.has(LogLevel::kWarn, "[IPTrafficStatistics]: receive buffer overruns in total: 1"));
}

// An exception from the field update ends neither the batch nor the thread.
TEST_F(Flow_statistics, ThrowingUpdateDropsOnlyThatSample) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    script_sample_getters("10.0.0.1", "10.0.0.2");
    server.fail_flow_samples();
    EXPECT_NO_THROW(IPTrafficStatistics::ct_object_callback(reinterpret_cast<nl_object*>(kConntrack), &stats));
    EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]: flow sample dropped: update failed"));
    EXPECT_CALL(nl, nl_msg_parse(kMessage, _, &stats)).WillOnce(Invoke([](nl_msg*, auto, void*) -> int {
        throw std::bad_alloc();
    }));
    EXPECT_EQ(IPTrafficStatistics::ct_event(kMessage, &stats), NL_OK);
    EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]: conntrack event dropped: std::bad_alloc"));
}

TEST_F(Flow_statistics, StopFreesSocketThenClearsCacheAndLeavesTheOffer) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    ON_CALL(nl, nl_socket_alloc()).WillByDefault(Return(kSocket));
    ON_CALL(nl, nfnl_ct_alloc()).WillByDefault(Return(kConntrack));
    ON_CALL(nl, nl_cache_alloc_name(_, _)).WillByDefault(DoAll(SetArgPointee<1>(kCache), Return(0)));
    stats.init(42);
    {
        InSequence order;
        EXPECT_CALL(nl, nl_socket_free(kSocket));
        EXPECT_CALL(nl, nl_cache_clear(kCache));
    }
    stats.stop();
    // The packet reports still use the offer; it is stopped after both loops.
    EXPECT_EQ(server.stops(), 0);
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: stop"));
}

TEST_F(Flow_statistics, NonConntrackMessageStopsTheBatch) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    EXPECT_CALL(nl, nl_msg_parse(kMessage, &IPTrafficStatistics::ct_object_callback, &stats))
        .WillOnce(Return(-NLE_MSGTYPE_NOSUPPORT))
        .WillOnce(Return(0));
    EXPECT_EQ(IPTrafficStatistics::ct_event(kMessage, &stats), NL_STOP);
    EXPECT_TRUE(log.has(LogLevel::kError, "IPTrafficStatistics:<<ct_event>> Unknown message type"));
    EXPECT_EQ(IPTrafficStatistics::ct_event(kMessage, &stats), NL_OK);
}

TEST_F(Flow_statistics, EventBecomesOneSampleOfTheOriginalDirection) {
    IPTrafficStatistics stats(&nl, &phm, 264, &handle);
    script_sample_getters("192.168.7.1", "10.0.0.2");
    {
        InSequence order;
        EXPECT_CALL(phm, CheckpointReached(3, 5));
        EXPECT_CALL(nl, nfnl_ct_get_timestamp(kConntrack));
        EXPECT_CALL(nl, nfnl_ct_get_proto(kConntrack));
        EXPECT_CALL(nl, nfnl_ct_get_src_port(kConntrack, 0));
        EXPECT_CALL(nl, nfnl_ct_get_dst_port(kConntrack, 0));
        EXPECT_CALL(nl, nfnl_ct_get_packets(kConntrack, 0));
        EXPECT_CALL(nl, nfnl_ct_get_bytes(kConntrack, 0));
        EXPECT_CALL(phm, CheckpointReached(3, 6));
    }
    // Parsing hands the object to the callback, as libnl does.
    EXPECT_CALL(nl, nl_msg_parse(kMessage, _, &stats))
        .WillOnce(Invoke([](nl_msg*, void (*cb)(nl_object*, void*), void* arg) {
            cb(reinterpret_cast<nl_object*>(kConntrack), arg);
            return 0;
        }));
    EXPECT_EQ(IPTrafficStatistics::ct_event(kMessage, &stats), NL_OK);

    const auto samples = server.samples();
    ASSERT_EQ(samples.size(), 1u);
    ASSERT_EQ(samples[0].size(), 1u);
    const auto& sample = samples[0][0];
    EXPECT_EQ(sample.reportTypeId, datatypes::traffic_flow_sample_type_id);
    EXPECT_EQ(sample.swId, 264);
    EXPECT_EQ(sample.timestamp, 1700000000123456789ULL);
    EXPECT_EQ(sample.sourceIpAddr, "192.168.7.1");
    EXPECT_EQ(sample.destinationIpAddr, "10.0.0.2");
    EXPECT_FALSE(sample.reserved6.has_value());
    EXPECT_FALSE(sample.reserved7.has_value());
    EXPECT_EQ(sample.protocol, datatypes::Ip_protocol::UDP);
    EXPECT_EQ(sample.sourcePort, 40001);
    EXPECT_EQ(sample.destinationPort, 13400);
    EXPECT_EQ(sample.packets, 7u);  // low 32 bits only
    EXPECT_EQ(sample.bytes, (1ULL << 40) + 3);
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: destinationIpAddr =10.0.0.2"));
    EXPECT_TRUE(log.has(LogLevel::kDebug, "[IPTrafficStatistics]: sourceIpAddr =192.168.7.1"));
    EXPECT_TRUE(log.has(LogLevel::kDebug, "Send TrafficFlowSample"));
    EXPECT_FALSE(log.has(LogLevel::kError, "IPTrafficStatistics: send_data() failed"));
}

TEST_F(Flow_statistics, LongestIpv6TextFitsItsBuffer) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    const char* longest = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    ASSERT_EQ(std::strlen(longest), 45u);
    script_sample_getters(longest, "::1");
    EXPECT_FALSE(stats.send_data(kConntrack));
    ASSERT_EQ(server.samples().size(), 1u);
    EXPECT_EQ(server.samples()[0][0].sourceIpAddr, longest);
    EXPECT_EQ(server.samples()[0][0].destinationIpAddr, "::1");
}

TEST_F(Flow_statistics, WithoutFieldServerTheSampleIsDroppedAndTheLoopGoesOn) {
    IPTrafficStatistics stats(&nl, &phm, 42, nullptr);
    script_sample_getters("127.0.0.1", "127.0.0.1");
    EXPECT_CALL(phm, CheckpointReached(3, 5)).Times(2);
    EXPECT_CALL(phm, CheckpointReached(3, 6)).Times(0);
    for (int i = 0; i < 2; ++i) {
        IPTrafficStatistics::ct_object_callback(reinterpret_cast<nl_object*>(kConntrack), &stats);
    }
    int error_pairs = 0;
    const auto lines = log.lines();
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == std::make_pair(LogLevel::kError, std::string("[IPTrafficStatistics]:ERROR no field server available")) &&
            lines[i + 1] == std::make_pair(LogLevel::kError, std::string("IPTrafficStatistics: send_data() failed"))) {
            ++error_pairs;
        }
    }
    EXPECT_EQ(error_pairs, 2);
    EXPECT_TRUE(server.samples().empty());
}

TEST_F(Flow_statistics, EmptyAddressTextDropsTheSample) {
    IPTrafficStatistics stats(&nl, &phm, 42, &handle);
    script_sample_getters("", "127.0.0.1");
    EXPECT_CALL(phm, CheckpointReached(3, 5)).Times(2);
    EXPECT_CALL(phm, CheckpointReached(3, 6)).Times(0);
    IPTrafficStatistics::ct_object_callback(reinterpret_cast<nl_object*>(kConntrack), &stats);
    EXPECT_TRUE(log.has(LogLevel::kError, "IPTrafficStatistics: send_data() failed"));
    EXPECT_TRUE(server.samples().empty());

    script_sample_getters("127.0.0.1", "127.0.0.1");
    ON_CALL(nl, nl_addr2str(kDst, _, 46)).WillByDefault(Return(nullptr));
    EXPECT_TRUE(stats.send_data(kConntrack));
    EXPECT_TRUE(server.samples().empty());
}

}  // namespace
