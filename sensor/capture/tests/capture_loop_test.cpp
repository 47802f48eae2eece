// Opening, polling and closing the capture, and the dispatch by group.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "sensor/common/terminate_flag.h"
#include "sensor/capture/tests/capture_test_support.h"

namespace capture_test {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::StrEq;

pcap_t* fake_handle() {
    static char storage;
    return reinterpret_cast<pcap_t*>(&storage);
}

class Init_test : public Traffic_fixture {};

TEST_F(Init_test, DeviceStringDependsOnThePartition) {
    struct Case {
        std::int16_t sw_id;
        const char* device;
    };
    for (const Case c : {Case{264, "nflog:101,102,202"}, Case{42, "nflog:101,102"}, Case{265, "nflog:101,102"},
                         Case{266, "nflog:101,102"}}) {
        Traffic fresh(&pcap, c.sw_id, &ethernet_handle, &ipsec_handle, &phm, &Manual_clock::read);
        EXPECT_CALL(pcap, nflog_create(StrEq(c.device), _, _)).WillOnce(Return(fake_handle()));
        EXPECT_CALL(pcap, activate(fake_handle())).WillOnce(Return(0));
        EXPECT_EQ(fresh.init(c.sw_id), 0);
        EXPECT_EQ(fresh.capture_handle(), fake_handle());
        ::testing::Mock::VerifyAndClearExpectations(&pcap);
    }
    EXPECT_EQ(log.count("Finished init RawIPTraffic return= 0"), 4);
}

TEST_F(Init_test, MissingFieldServersAreReportedInOrder) {
    EXPECT_CALL(pcap, nflog_create(_, _, _)).Times(0);
    Ethernet_field_server_handle no_ethernet(nullptr, "eth");
    Ipsec_field_server_handle no_ipsec(nullptr, "ipsec");

    log.clear();
    Traffic without_ipsec(&pcap, 265, &ethernet_handle, &no_ipsec, &phm, &Manual_clock::read);
    EXPECT_EQ(without_ipsec.init(265), 1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"[ERROR] no field server of ipsecurity available",
                                                     "Finished init RawIPTraffic return= 1"}));

    log.clear();
    Traffic without_both(&pcap, 265, &no_ethernet, nullptr, &phm, &Manual_clock::read);
    EXPECT_EQ(without_both.init(265), 1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"[ERROR] no field server available",
                                                     "[ERROR] no field server of ipsecurity available",
                                                     "Finished init RawIPTraffic return= 1"}));

    log.clear();
    Traffic without_ethernet(&pcap, 265, nullptr, &ipsec_handle, &phm, &Manual_clock::read);
    EXPECT_EQ(without_ethernet.init(265), 1);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"[ERROR] no field server available", "Finished init RawIPTraffic return= 1"}));
}

TEST_F(Init_test, CreateAndActivateFailures) {
    EXPECT_CALL(pcap, nflog_create(_, _, _)).WillOnce(Return(nullptr));
    EXPECT_CALL(pcap, activate(_)).Times(0);
    EXPECT_CALL(pcap, cleanup(_)).Times(0);
    EXPECT_EQ(traffic.init(265), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[ERROR] cannot create a netfilter handle"));
    ::testing::Mock::VerifyAndClearExpectations(&pcap);

    EXPECT_CALL(pcap, nflog_create(_, _, _)).WillOnce(Return(fake_handle()));
    EXPECT_CALL(pcap, activate(fake_handle())).WillOnce(Return(-1));
    // The capture thread ends without close, so the failed handle goes here.
    EXPECT_CALL(pcap, cleanup(fake_handle()));
    EXPECT_EQ(traffic.init(265), 1);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[ERROR] cannot activate netfilter"));
    EXPECT_EQ(traffic.capture_handle(), nullptr);
    ::testing::Mock::VerifyAndClearExpectations(&pcap);

    // A warning from the activation is success.
    EXPECT_CALL(pcap, nflog_create(_, _, _)).WillOnce(Return(fake_handle()));
    EXPECT_CALL(pcap, activate(fake_handle())).WillOnce(Return(2));
    EXPECT_CALL(pcap, cleanup(_)).Times(0);
    EXPECT_EQ(traffic.init(265), 0);
    EXPECT_EQ(traffic.capture_handle(), fake_handle());
}

class Loop_test : public Traffic_fixture {
protected:
    void open() {
        ON_CALL(pcap, nflog_create(_, _, _)).WillByDefault(Return(fake_handle()));
        ON_CALL(pcap, activate(_)).WillByDefault(Return(0));
        ASSERT_EQ(traffic.init(265), 0);
        terminate_requested.store(false);
    }
    ~Loop_test() override { terminate_requested.store(false); }

    IDS_instances instances{"eth", 7, "ipsec", 3};
};

TEST_F(Loop_test, EnsureNonblockingSwitchesABlockingHandle) {
    open();
    {
        InSequence order;
        EXPECT_CALL(pcap, getnonblock(fake_handle(), _)).WillOnce(Return(0));
        EXPECT_CALL(pcap, setnonblock(fake_handle(), 2048, _)).WillOnce(Return(0));
        EXPECT_CALL(pcap, getnonblock(fake_handle(), _)).WillOnce(Return(1));
    }
    EXPECT_TRUE(traffic.ensure_nonblocking());
    EXPECT_EQ(log.count("IDS_Sensor : SOCKET is in blocking mode "), 1);
}

TEST_F(Loop_test, EnsureNonblockingReportsAFailedSwitch) {
    open();
    EXPECT_CALL(pcap, getnonblock(fake_handle(), _)).WillRepeatedly(Return(0));
    EXPECT_CALL(pcap, setnonblock(fake_handle(), 2048, _)).WillOnce(Return(-1));
    EXPECT_FALSE(traffic.ensure_nonblocking());
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "IDS_Sensor : SOCKET CAN'T CHANGE blocking mode "));
}

TEST_F(Loop_test, EnsureNonblockingLeavesANonblockingHandleAlone) {
    open();
    EXPECT_CALL(pcap, getnonblock(fake_handle(), _)).Times(2).WillRepeatedly(Return(1));
    EXPECT_CALL(pcap, setnonblock(_, _, _)).Times(0);
    EXPECT_TRUE(traffic.ensure_nonblocking());
    EXPECT_EQ(log.count("IDS_Sensor : SOCKET is in non-blocking mode "), 1);
}

TEST_F(Loop_test, FailedModeQueryIsNotTakenForNonblocking) {
    open();
    ON_CALL(pcap, getnonblock(_, _)).WillByDefault(Return(-1));
    // Once by the direct call, once by the loop.
    EXPECT_CALL(pcap, setnonblock(fake_handle(), 2048, _)).Times(2).WillRepeatedly(Return(0));
    EXPECT_CALL(pcap, dispatch(_, _, _, _)).Times(0);
    EXPECT_FALSE(traffic.ensure_nonblocking());
    traffic.main_loop(instances);
}

// A stop ends the passes, but what the kernel queued before it is still read.
TEST_F(Loop_test, StopRequestEndsTheLoopAfterReadingWhatIsQueued) {
    open();
    ON_CALL(pcap, getnonblock(_, _)).WillByDefault(Return(1));
    // A failing read does not stop the loop; the stop comes while a receive
    // is being handled, and two more receives are queued behind it.
    const std::vector<int> results{-1, 0, 1, 1, 1, 0};
    std::size_t reads = 0;
    EXPECT_CALL(pcap, dispatch(fake_handle(), -1, &Traffic::on_packet, reinterpret_cast<u_char*>(&traffic)))
        .Times(static_cast<int>(results.size()))
        .WillRepeatedly([&](pcap_t*, int, pcap_handler, u_char*) {
            if (++reads == 3) {
                terminate_requested.store(true);
            }
            return results.at(reads - 1);
        });
    traffic.main_loop(instances);
    EXPECT_EQ(traffic.current_ethernet_limit(), 7U);
    EXPECT_EQ(traffic.current_ipsec_limit(), 3U);
    EXPECT_EQ(log.count("IDS_Sensor : SOCKET is now in non-blocking mode "), 1);
}

// A wake-up reads receive after receive until nothing is pending, then lets
// packets gather; a quiet wait reads nothing; kernel drops are warned about
// and totalled at close.
TEST_F(Loop_test, EachWakeUpDrainsTheCaptureAndKernelDropsAreCounted) {
    open();
    ON_CALL(pcap, getnonblock(_, _)).WillByDefault(Return(1));
    EXPECT_CALL(pcap, selectable_fd(fake_handle())).WillOnce(Return(42));
    int waits = 0;
    EXPECT_CALL(pcap, poll(_, 2u, 100)).WillRepeatedly([&](pollfd* fds, nfds_t, int) {
        EXPECT_EQ(fds[0].fd, 42);
        EXPECT_EQ(fds[1].fd, stop_event_fd());
        ++waits;
        return waits == 2 ? 0 : 1;
    });
    // After a pass that read packets the loop pauses on the stop event only.
    int gathers = 0;
    EXPECT_CALL(pcap, poll(_, 1u, 1)).WillRepeatedly([&](pollfd* fds, nfds_t, int) {
        EXPECT_EQ(fds[0].fd, stop_event_fd());
        ++gathers;
        return 0;
    });
    // The last read is the one after the stop, which finds nothing queued.
    const std::vector<int> results{3, 1, 5, 0, 2, 0, 0};
    std::size_t reads = 0;
    EXPECT_CALL(pcap, dispatch(fake_handle(), -1, _, _)).WillRepeatedly([&](pcap_t*, int, pcap_handler, u_char*) {
        const int result = results.at(reads++);
        if (reads == results.size() - 1) {
            terminate_requested.store(true);
        }
        return result;
    });
    unsigned drops = 0;
    EXPECT_CALL(pcap, stats(fake_handle(), _)).WillRepeatedly([&](pcap_t*, pcap_stat* stats) {
        drops += 4;
        stats->ps_drop = drops;
        return 0;
    });
    traffic.main_loop(instances);
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(gathers, 2);
    EXPECT_EQ(reads, results.size());
    // Two looks within a second: one warning with the first total.
    EXPECT_EQ(log.count("[Traffic] receive buffer overrun, logged packets lost; overruns so far: 4"), 1);
    EXPECT_EQ(log.count("[Traffic] receive buffer overrun, logged packets lost; overruns so far: 8"), 0);
    traffic.close();
    EXPECT_TRUE(log.has(ara::log::LogLevel::kWarn, "[Traffic] receive buffer overruns in total: 12"));
}

TEST_F(Loop_test, StopRequestedBeforeTheLoopStillReadsWhatIsQueued) {
    open();
    ON_CALL(pcap, getnonblock(_, _)).WillByDefault(Return(1));
    terminate_requested.store(true);
    EXPECT_CALL(pcap, poll(_, _, _)).Times(0);
    EXPECT_CALL(pcap, dispatch(_, _, _, _)).WillOnce(Return(2)).WillOnce(Return(0));
    traffic.main_loop(instances);
}

// Packets that keep coming after the stop cannot hold it up.
TEST_F(Loop_test, ReadingAfterTheStopIsBoundedInTime) {
    open();
    ON_CALL(pcap, getnonblock(_, _)).WillByDefault(Return(1));
    terminate_requested.store(true);
    int reads = 0;
    EXPECT_CALL(pcap, dispatch(_, _, _, _)).WillRepeatedly([&](pcap_t*, int, pcap_handler, u_char*) {
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 1;
    });
    traffic.main_loop(instances);
    EXPECT_GT(reads, 1);
}

TEST_F(Loop_test, BlockingHandleEndsTheLoopAtOnceAndCloseStillCleansUp) {
    open();
    ON_CALL(pcap, getnonblock(_, _)).WillByDefault(Return(0));
    ON_CALL(pcap, setnonblock(_, _, _)).WillByDefault(Return(-1));
    EXPECT_CALL(pcap, dispatch(_, _, _, _)).Times(0);
    traffic.main_loop(instances);
    EXPECT_EQ(log.count("[DEBUG] Entering into main loop"), 1);
    EXPECT_EQ(log.count("IDS_Sensor : SOCKET is now in non-blocking mode "), 0);

    EXPECT_CALL(pcap, cleanup(fake_handle()));
    // The offer outlives the capture: the flow samples still use it.
    EXPECT_CALL(ethernet, stop_offer_service()).Times(0);
    EXPECT_CALL(ipsec, stop_offer_service()).Times(0);
    traffic.close();
    EXPECT_EQ(traffic.capture_handle(), nullptr);
    EXPECT_EQ(log.texts().back(), "Unbind group. Close nflog.");
}

TEST_F(Loop_test, LoopWithoutHandleDoesNotTouchTheLibrary) {
    EXPECT_CALL(pcap, getnonblock(_, _)).Times(0);
    EXPECT_CALL(pcap, dispatch(_, _, _, _)).Times(0);
    traffic.main_loop(instances);
    EXPECT_CALL(pcap, cleanup(_)).Times(0);
    traffic.close();
}

class Dispatch_test : public Traffic_fixture {
protected:
    void deliver(const Nflog_message& message) {
        const pcap_pkthdr header = header_for(message.size());
        Traffic::on_packet(reinterpret_cast<u_char*>(&traffic), &header, message.bytes().data());
    }
};

TEST_F(Dispatch_test, GroupsGoToTheirHandlers) {
    const auto bytes = pattern(30);
    EXPECT_CALL(ethernet, update_special_frame_reports(_)).Times(1);
    EXPECT_CALL(ipsec, update_firewall_filter_reports(_)).Times(3);
    EXPECT_CALL(phm, CheckpointReached(1, 1)).Times(1);
    EXPECT_CALL(phm, CheckpointReached(2, 3)).Times(3);
    EXPECT_CALL(phm, CheckpointReached(1, 2)).Times(1);
    EXPECT_CALL(phm, CheckpointReached(2, 4)).Times(3);

    // The handlers get the limits the loop copied (it returns at once here,
    // having no handle); 10 lets everything below pass.
    traffic.main_loop(IDS_instances{"e", 10, "i", 10});

    deliver(Nflog_message(101).prefix("specialFrameReports.match.DoIP").payload(bytes));
    EXPECT_TRUE(log.has(ara::log::LogLevel::kDebug, "RawIPTraffic_group_id: 101"));
    for (std::uint16_t group : {102, 200, 202}) {
        deliver(Nflog_message(group).prefix("fw").payload(bytes));
        EXPECT_TRUE(log.has(ara::log::LogLevel::kDebug, "security_events_group_id: " + std::to_string(group)));
    }
}

TEST_F(Dispatch_test, ThrowingPublicationDropsOnlyThatPacket) {
    const auto bytes = pattern(30);
    traffic.main_loop(IDS_instances{"e", 10, "i", 10});
    EXPECT_CALL(ethernet, update_special_frame_reports(_))
        .WillOnce([](const auto&) { throw std::runtime_error("lock failed"); })
        .WillOnce([](const auto&) {});
    deliver(Nflog_message(101).prefix("specialFrameReports.match.DoIP").payload(bytes));
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[Traffic] packet dropped: lock failed"));
    deliver(Nflog_message(101).prefix("specialFrameReports.match.DoIP").payload(bytes));
}

TEST_F(Dispatch_test, UnknownGroupIsDroppedWithItsLines) {
    EXPECT_CALL(phm, CheckpointReached(_, _)).Times(0);
    EXPECT_CALL(ethernet, update_special_frame_reports(_)).Times(0);
    EXPECT_CALL(ipsec, update_firewall_filter_reports(_)).Times(0);
    log.clear();
    deliver(Nflog_message(7).prefix("specialFrameReports.match.DoIP").payload(pattern(4)));
    const auto texts = log.texts();
    ASSERT_EQ(texts.size(), 3U);
    EXPECT_EQ(texts[0].rfind("[Traffic] packet number = ", 0), 0U);
    EXPECT_EQ(texts[1], "group id: 7");
    EXPECT_EQ(texts[2], "Unknown Event group_id: 7");
}

TEST_F(Dispatch_test, PacketNumberRisesByOnePerPacket) {
    log.clear();
    deliver(Nflog_message(7));
    deliver(Nflog_message(8));
    const auto texts = log.texts();
    ASSERT_EQ(texts.size(), 6U);
    const std::string tag = "[Traffic] packet number = ";
    const int first = std::stoi(texts[0].substr(tag.size()));
    EXPECT_EQ(texts[3], tag + std::to_string(first + 1));
}

TEST_F(Dispatch_test, MessageShorterThanItsHeaderIsAnUnknownGroup) {
    const std::uint8_t stub[2] = {2, 0};
    const pcap_pkthdr header = header_for(2);
    EXPECT_CALL(phm, CheckpointReached(_, _)).Times(0);
    Traffic::on_packet(reinterpret_cast<u_char*>(&traffic), &header, stub);
    EXPECT_TRUE(log.has(ara::log::LogLevel::kDebug, "Unknown Event group_id: 0"));
}

TEST_F(Dispatch_test, MissingPrefixStillReachesTheHandler) {
    EXPECT_CALL(phm, CheckpointReached(1, 1));
    EXPECT_CALL(phm, CheckpointReached(1, 2));
    deliver(Nflog_message(101).payload(pattern(8)));
    EXPECT_TRUE(log.has(ara::log::LogLevel::kError, "[Traffic] prefix_data pointer Not valid"));
}

}  // namespace
}  // namespace capture_test
