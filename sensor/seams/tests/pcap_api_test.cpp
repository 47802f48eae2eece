#include "sensor/seams/pcap_api.h"

#include <gtest/gtest.h>

namespace {

TEST(PcapApi, NetfilterDeviceRule) {
    for (const char* yes : {"nflog", "nflog:101,102", "nflog:", "nfqueue", "nfqueue:1"}) {
        EXPECT_TRUE(is_netfilter_device(yes)) << yes;
    }
    for (const char* no :
         {"", "nflo", "nflog101", "nflogx:1", "nfqueue1", "eth0", "any", "NFLOG:1", " nflog"}) {
        EXPECT_FALSE(is_netfilter_device(no)) << no;
    }
    EXPECT_FALSE(is_netfilter_device(nullptr));
}

TEST(PcapApi, CreateRefusesOtherDevicesWithoutTouchingLibpcap) {
    Pcap_API api;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    int is_ours = 7;
    EXPECT_EQ(api.nflog_create("lo", errbuf, &is_ours), nullptr);
    EXPECT_EQ(is_ours, 0);
}

TEST(PcapApi, CreateGivesAnInactiveHandleForNflog) {
    // Creating needs no privileges; only activation opens the socket.
    Pcap_API api;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    int is_ours = 0;
    pcap_t* handle = api.nflog_create("nflog:101,102", errbuf, &is_ours);
    ASSERT_NE(handle, nullptr) << errbuf;
    EXPECT_EQ(is_ours, 1);
    EXPECT_EQ(pcap_get_selectable_fd(handle), -1);
    api.cleanup(handle);
    api.cleanup(nullptr);  // harmless
}

}  // namespace
