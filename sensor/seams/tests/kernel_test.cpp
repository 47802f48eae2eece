// Real netfilter sockets, inside a private network namespace (needs root).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netfilter/nfnetlink_compat.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <netlink/errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sensor/seams/nl_api.h"
#include "sensor/seams/pcap_api.h"

namespace {

std::string fd_target(int fd) {
    char buf[256];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

int count_valid(nl_msg*, void* arg) {
    ++*static_cast<int*>(arg);
    return NL_OK;
}

TEST(PcapApiKernel, NflogCaptureOpensAndCleanupClosesItsSocket) {
    Pcap_API api;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    int is_ours = 0;
    pcap_t* handle = api.nflog_create("nflog:101,102", errbuf, &is_ours);
    ASSERT_NE(handle, nullptr) << errbuf;
    EXPECT_EQ(is_ours, 1);
    ASSERT_GE(api.activate(handle), 0) << pcap_geterr(handle);

    const int fd = pcap_get_selectable_fd(handle);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd_target(fd).rfind("socket:[", 0), 0u) << fd_target(fd);

    EXPECT_EQ(api.getnonblock(handle, errbuf), 0);
    EXPECT_EQ(api.setnonblock(handle, 2048, errbuf), 0) << errbuf;
    EXPECT_EQ(api.getnonblock(handle, errbuf), 1);
    // Nothing was logged: a non-blocking dispatch returns at once without a
    // packet (libpcap's netfilter module reports the empty read as -1).
    int calls = 0;
    EXPECT_LE(api.dispatch(
                  handle, -1,
                  [](u_char* user, const pcap_pkthdr*, const u_char*) { ++*reinterpret_cast<int*>(user); },
                  reinterpret_cast<u_char*>(&calls)),
              0);
    EXPECT_EQ(calls, 0);

    api.cleanup(handle);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(fd_target(fd), "");
}

struct Walked {
    int packets = 0;
    int group = -1;
    std::string prefix;
    int payload_length = -1;
    std::uint8_t ip_version = 0;
};

void walk_packet(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* w = reinterpret_cast<Walked*>(user);
    Pcap_API api;
    ++w->packets;
    std::uint16_t rid;
    std::memcpy(&rid, bytes + 2, sizeof rid);
    w->group = api.net_to_host16(rid);
    int left = static_cast<int>(header->caplen) - 4;
    for (const nflog_tlv_t* t = api.nflog_first_tlv(bytes); api.nflog_tlv_ok(t, left);
         t = api.nflog_next_tlv(t, left)) {
        if (api.nflog_tlv_type(t) == 9) {
            w->payload_length = api.nflog_tlv_value_len(t);
            w->ip_version = static_cast<std::uint8_t>(api.nflog_tlv_value(t)[0] >> 4);
        } else if (api.nflog_tlv_type(t) == 10) {
            w->prefix = reinterpret_cast<const char*>(api.nflog_tlv_value(t));
        }
    }
}

TEST(PcapApiKernel, LoggedPacketIsWalkedThroughItsAttributes) {
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    ASSERT_EQ(std::system("iptables -A OUTPUT -o lo -p udp --dport 9 -j NFLOG --nflog-group 102 "
                          "--nflog-prefix seam.test"),
              0);
    Pcap_API api;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    int is_ours = 0;
    pcap_t* handle = api.nflog_create("nflog:101,102", errbuf, &is_ours);
    ASSERT_NE(handle, nullptr) << errbuf;
    ASSERT_GE(api.activate(handle), 0) << pcap_geterr(handle);
    ASSERT_EQ(api.setnonblock(handle, 1, errbuf), 0) << errbuf;

    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char data[] = "0123456789";
    ASSERT_EQ(sendto(udp, data, 10, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 10);
    close(udp);

    // The kernel batches log messages and flushes them at the latest after
    // one second.
    Walked w;
    for (int i = 0; i < 300 && w.packets == 0; ++i) {
        api.dispatch(handle, -1, walk_packet, reinterpret_cast<u_char*>(&w));
        if (w.packets == 0) {
            usleep(10000);
        }
    }
    api.cleanup(handle);
    std::system(
        "iptables -D OUTPUT -o lo -p udp --dport 9 -j NFLOG --nflog-group 102 --nflog-prefix seam.test");

    EXPECT_EQ(w.packets, 1);
    EXPECT_EQ(w.group, 102);
    EXPECT_EQ(w.prefix, "seam.test");
    EXPECT_EQ(w.payload_length, 20 + 8 + 10);  // IPv4 + UDP headers + data
    EXPECT_EQ(w.ip_version, 4);
}

TEST(PcapApiKernel, ActivateOfABadGroupListFails) {
    Pcap_API api;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    int is_ours = 0;
    pcap_t* handle = api.nflog_create("nflog:abc", errbuf, &is_ours);
    ASSERT_NE(handle, nullptr) << errbuf;
    EXPECT_EQ(api.activate(handle), -1);
    api.cleanup(handle);
}

TEST(NlApiKernel, ConntrackEventSocketConnectsAndPollsWithoutBlocking) {
    Nl_API api;
    nl_sock* sock = api.nl_socket_alloc();
    ASSERT_NE(sock, nullptr);
    api.nl_socket_disable_seq_check(sock);
    int valid = 0;
    EXPECT_EQ(api.nl_socket_modify_cb(sock, count_valid, &valid), 0);
    api.nl_join_groups(sock, NF_NETLINK_CONNTRACK_NEW | NF_NETLINK_CONNTRACK_DESTROY);
    ASSERT_EQ(api.nl_connect(sock, NETLINK_NETFILTER), 0);
    const int fd = api.nl_socket_get_fd(sock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(api.nl_socket_set_nonblocking(sock), 0);

    pollfd readable{fd, POLLIN, 0};
    EXPECT_EQ(api.poll(&readable, 1, 0), 0);
    EXPECT_EQ(api.nl_recvmsgs_default(sock), -NLE_AGAIN);
    EXPECT_EQ(valid, 0);
    // Root in the test namespace: the buffer may exceed the system's cap.
    EXPECT_EQ(api.set_receive_buffer(sock, 8 * 1024 * 1024), 0);
    int size = 0;
    socklen_t length = sizeof size;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
    EXPECT_GE(size, 8 * 1024 * 1024);

    // Allocated empty, without asking the kernel for its table.
    nl_cache* cache = nullptr;
    ASSERT_EQ(api.nl_cache_alloc_name("netfilter/ct", &cache), 0);
    EXPECT_EQ(nl_cache_nitems(cache), 0);
    api.nl_cache_free(cache);

    nfnl_ct* ct = api.nfnl_ct_alloc();
    ASSERT_NE(ct, nullptr);
    api.nfnl_ct_set_family(ct, AF_INET);
    EXPECT_EQ(api.nfnl_ct_get_src(ct, 0), nullptr);
    EXPECT_EQ(api.nfnl_ct_get_packets(ct, 0), 0u);
    api.nfnl_ct_put(ct);

    api.nl_socket_free(sock);
    EXPECT_FALSE(fd_open(fd));
}

}  // namespace
