// The capture against the running kernel, inside a private network
// namespace: netfilter rules log real UDP datagrams to NFLOG groups, Traffic
// reads them, and the reports are read back from the field servers over
// SOME/IP.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

#include "com/component_singleton.h"
#include "sensor/common/terminate_flag.h"
#include "sensor/capture/testing/kernel_network.h"
#include "sensor/capture/testing/report_list_reader.h"
#include "sensor/capture/tests/capture_test_support.h"
#include "sensor/capture/traffic.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/pcap_api.h"
#include "sensor/services/field_server_skeleton.h"
#include "sensor/services/field_server_skeleton_idsipsecuritysensor.h"
#include "someip_client.h"

namespace capture_kernel {
namespace {

using namespace std::chrono_literals;


constexpr std::uint16_t ethernet_port = 30501;
constexpr std::uint16_t ipsec_port = 30502;
constexpr std::uint16_t ethernet_service = 0x1001;
constexpr std::uint16_t ipsec_service = 0x1002;
constexpr std::uint16_t classifier_field = 0;
constexpr std::uint16_t discovery_field = 1;
constexpr std::uint16_t special_field = 2;
constexpr std::uint16_t firewall_field = 0;

constexpr std::uint16_t port_doip = 41001;
constexpr std::uint16_t port_sd = 41002;
constexpr std::uint16_t port_rule = 41003;
constexpr std::uint16_t port_wrong_case = 41004;
constexpr std::uint16_t port_firewall = 41005;
constexpr std::uint16_t port_group_202 = 41006;
constexpr std::uint16_t port_group_7 = 41007;

constexpr std::int16_t sw_id_adaptive = 265;
constexpr std::int16_t sw_id_housekeeping = 264;

// The real capture seam, but opening other groups than the partition's.
class Device_override_pcap : public Pcap_API {
public:
    explicit Device_override_pcap(const char* device) : m_device(device) {}
    pcap_t* nflog_create(const char*, char* error_buffer, int* is_ours) override {
        return Pcap_API::nflog_create(m_device, error_buffer, is_ours);
    }

private:
    const char* m_device;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

// Reads and handles whatever the handle has, until the condition holds.
bool pump_until(Traffic& traffic, Pcap_API& pcap, const std::function<bool()>& condition) {
    const int fd = pcap_get_selectable_fd(traffic.capture_handle());
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{fd, POLLIN, 0};
        (void)poll(&wait, 1, 50);
        (void)pcap.dispatch(traffic.capture_handle(), -1, &Traffic::on_packet, reinterpret_cast<u_char*>(&traffic));
        if (condition()) {
            return true;
        }
    }
    return false;
}

// Datagram contents that tell the reports of each test apart.
std::vector<std::uint8_t> datagram(std::size_t size, std::uint8_t marker) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(marker + i * 13);
    }
    return data;
}

struct Environment {
    Log_recorder log;
    ux::com::runtime::Component_singleton component{false, ""};
    Field_Server_Skeleton ethernet;
    Field_Server_Skeleton_idsipsecuritysensor ipsec;
    std::unique_ptr<Ethernet_field_server_handle> ethernet_handle;
    std::unique_ptr<Ipsec_field_server_handle> ipsec_handle;
    ARA_PHM_API phm;
    Pcap_API pcap;
    std::unique_ptr<Traffic> traffic;
    std::thread capture_thread;
    Udp_sender sender;
    someip_test::Client client;
    bool loop_running = false;
};

class Capture_kernel_test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(in_private_network_namespace()) << "run this test only inside unshare -n";
        ASSERT_TRUE(bring_loopback_up());
        std::string diagnostics;
        ASSERT_TRUE(load_nft_ruleset(output_table({
                                         nflog_rule(port_doip, 101, "specialFrameReports.match.DoIP"),
                                         nflog_rule(port_sd, 101, "serviceDiscoveryReports.match.SD"),
                                         nflog_rule(port_rule, 101, "classifierMatchReports.match.RULE"),
                                         nflog_rule(port_wrong_case, 101, "specialFrameReports.match.doip"),
                                         nflog_rule(port_firewall, 102, "fw.accept.OUTPUT"),
                                         nflog_rule(port_group_202, 202, "fw.housekeeping.OUTPUT"),
                                         nflog_rule(port_group_7, 7, "specialFrameReports.match.DoIP"),
                                     }),
                                     diagnostics))
            << diagnostics;

        env = new Environment;
        env->ethernet_handle = std::make_unique<Ethernet_field_server_handle>(&env->ethernet, "1");
        env->ipsec_handle = std::make_unique<Ipsec_field_server_handle>(&env->ipsec, "1");
        env->ethernet_handle->offer_service();
        env->ipsec_handle->offer_service();
        env->traffic = std::make_unique<Traffic>(&env->pcap, sw_id_adaptive, env->ethernet_handle.get(),
                                                 env->ipsec_handle.get(), &env->phm);
        ASSERT_EQ(env->traffic->init(sw_id_adaptive), 0);
        terminate_requested.store(false);
        env->capture_thread = std::thread([] { env->traffic->main_loop(IDS_instances{"1", 100, "1", 100}); });
        env->loop_running = true;
    }

    static void TearDownTestSuite() {
        if (env == nullptr) {
            return;
        }
        terminate_requested.store(true);
        if (env->capture_thread.joinable()) {
            env->capture_thread.join();
        }
        if (env->loop_running) {
            env->traffic->close();
        }
        terminate_requested.store(false);
        delete env;
        env = nullptr;
    }

    void SetUp() override { ASSERT_NE(env, nullptr); }

    static std::vector<Wire_record> field(std::uint16_t port, std::uint16_t service, std::uint16_t method) {
        auto payload = env->client.get(port, service, method);
        if (!payload) {
            return {};
        }
        auto records = read_report_list(*payload);
        return records ? *records : std::vector<Wire_record>{};
    }

    // Waits until the field holds one record whose payload ends with the data.
    static std::optional<Wire_record> published(std::uint16_t port, std::uint16_t service, std::uint16_t method,
                                                const std::vector<std::uint8_t>& data, std::size_t payload_index) {
        std::optional<Wire_record> found;
        eventually([&] {
            const auto records = field(port, service, method);
            if (records.size() == 1 && records[0].size() > payload_index) {
                const auto& payload = records[0][payload_index].bytes;
                if (payload.size() < 28) {
                    return false;
                }
                const auto shown = static_cast<std::ptrdiff_t>(std::min<std::size_t>(data.size(), payload.size() - 28));
                if (std::equal(data.begin(), data.begin() + shown, payload.begin() + 28)) {
                    found = records[0];
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // The logged packet is the IPv4 datagram: header, UDP header, data.
    static void expect_logged_datagram(const std::vector<std::uint8_t>& payload, std::uint16_t port,
                                       const std::vector<std::uint8_t>& data) {
        ASSERT_GE(payload.size(), 28U);
        const std::size_t total = 28 + data.size();
        EXPECT_EQ(payload[0], 0x45);
        EXPECT_EQ((payload[2] << 8) | payload[3], static_cast<int>(total));
        EXPECT_EQ(payload[9], 17);
        EXPECT_EQ((payload[12] << 24) | (payload[13] << 16) | (payload[14] << 8) | payload[15], 0x7f000001);
        EXPECT_EQ((payload[16] << 24) | (payload[17] << 16) | (payload[18] << 8) | payload[19], 0x7f000001);
        EXPECT_EQ((payload[20] << 8) | payload[21], env->sender.source_port());
        EXPECT_EQ((payload[22] << 8) | payload[23], port);
        EXPECT_EQ((payload[24] << 8) | payload[25], static_cast<int>(8 + data.size()));
        const std::size_t shown = std::min<std::size_t>(payload.size(), 1522) - 28;
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(shown), payload.begin() + 28));
    }

    static void expect_header(const Wire_record& record, const std::array<std::uint8_t, 8>& type_id) {
        ASSERT_GE(record.size(), 3U);
        EXPECT_EQ(record[0].wire_type, 7U);
        EXPECT_EQ(record[0].bytes, std::vector<std::uint8_t>(type_id.begin(), type_id.end()));
        EXPECT_EQ(record[1].wire_type, 1U);
        EXPECT_EQ(record[1].number, 265U);
        EXPECT_EQ(record[2].wire_type, 3U);
        const auto now = static_cast<std::uint64_t>(std::time(nullptr));
        EXPECT_LE(record[2].number, now);
        EXPECT_GE(record[2].number + 10, now);
    }

    static Environment* env;
};

Environment* Capture_kernel_test::env = nullptr;

TEST_F(Capture_kernel_test, SpecialFrameCarriesThePacketAsLogged) {
    const auto data = datagram(100, 1);
    ASSERT_TRUE(env->sender.send(port_doip, data));
    const auto record = published(ethernet_port, ethernet_service, special_field, data, 3);
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->size(), 6U);
    expect_header(*record, ksr::services::idsethernetsensor::datatypes::special_frame_report_type_id);
    expect_logged_datagram((*record)[3].bytes, port_doip, data);
    EXPECT_EQ((*record)[3].bytes.size(), 128U);
    EXPECT_EQ((*record)[4].wire_type, 2U);
    EXPECT_EQ((*record)[4].number, 5U) << "DoIP";
    EXPECT_EQ((*record)[5].wire_type, 1U);
    EXPECT_EQ((*record)[5].number, 0U);
    EXPECT_TRUE(env->log.has(ara::log::LogLevel::kDebug, "RawIPTraffic_group_id: 101"));
}

TEST_F(Capture_kernel_test, PacketLongerThan1522BytesIsCut) {
    const auto data = datagram(1600, 2);
    ASSERT_TRUE(env->sender.send(port_doip, data));
    const auto record = published(ethernet_port, ethernet_service, special_field, data, 3);
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->size(), 6U);
    EXPECT_EQ((*record)[3].bytes.size(), 1522U);
    expect_logged_datagram((*record)[3].bytes, port_doip, data);
    EXPECT_EQ((*record)[5].number, 28U + 1600U - 1522U);
}

TEST_F(Capture_kernel_test, ServiceDiscoveryAndClassifierMatchReports) {
    const auto discovery = datagram(40, 3);
    ASSERT_TRUE(env->sender.send(port_sd, discovery));
    const auto sd = published(ethernet_port, ethernet_service, discovery_field, discovery, 3);
    ASSERT_TRUE(sd.has_value());
    ASSERT_EQ(sd->size(), 5U) << "no prefix member";
    expect_header(*sd, ksr::services::idsethernetsensor::datatypes::service_discovery_report_type_id);
    expect_logged_datagram((*sd)[3].bytes, port_sd, discovery);
    EXPECT_EQ((*sd)[4].number, 0U);

    const auto rule = datagram(50, 4);
    ASSERT_TRUE(env->sender.send(port_rule, rule));
    const auto cm = published(ethernet_port, ethernet_service, classifier_field, rule, 4);
    ASSERT_TRUE(cm.has_value());
    ASSERT_EQ(cm->size(), 6U);
    expect_header(*cm, ksr::services::idsethernetsensor::datatypes::classifier_match_report_type_id);
    EXPECT_EQ((*cm)[3].text(), "classifierMatchReports.match.RULE");
    expect_logged_datagram((*cm)[4].bytes, port_rule, rule);
}

TEST_F(Capture_kernel_test, FirewallMatchOnGroup102) {
    const auto data = datagram(1700, 5);
    ASSERT_TRUE(env->sender.send(port_firewall, data));
    const auto record = published(ipsec_port, ipsec_service, firewall_field, data, 4);
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->size(), 6U);
    expect_header(*record, ksr::services::idsipsecuritysensor::datatypes::firewall_filter_report_type_id);
    EXPECT_EQ((*record)[3].text(), "fw.accept.OUTPUT");
    EXPECT_EQ((*record)[4].bytes.size(), 1522U);
    expect_logged_datagram((*record)[4].bytes, port_firewall, data);
    EXPECT_EQ((*record)[5].number, 28U + 1700U - 1522U);
    EXPECT_TRUE(env->log.has(ara::log::LogLevel::kDebug, "security_events_group_id: 102"));
}

TEST_F(Capture_kernel_test, PrefixInAnotherCaseIsNotPublished) {
    const auto known = datagram(30, 6);
    ASSERT_TRUE(env->sender.send(port_doip, known));
    ASSERT_TRUE(published(ethernet_port, ethernet_service, special_field, known, 3).has_value());

    env->log.clear();
    ASSERT_TRUE(env->sender.send(port_wrong_case, datagram(30, 7)));
    ASSERT_TRUE(eventually([] { return env->log.count("[Traffic] No valid Prefix") == 1; }));
    EXPECT_EQ(env->log.count("No valid prefix"), 1);
    // The field still holds the earlier report.
    EXPECT_TRUE(published(ethernet_port, ethernet_service, special_field, known, 3).has_value());
}

TEST_F(Capture_kernel_test, SubscribedButUnknownGroupIsDropped) {
    Device_override_pcap group_7("nflog:7");
    Field_Server_Skeleton spare_ethernet;
    Field_Server_Skeleton_idsipsecuritysensor spare_ipsec;
    Ethernet_field_server_handle spare_ethernet_handle(&spare_ethernet, "2");
    Ipsec_field_server_handle spare_ipsec_handle(&spare_ipsec, "2");
    Traffic other(&group_7, sw_id_adaptive, &spare_ethernet_handle, &spare_ipsec_handle, &env->phm);
    ASSERT_EQ(other.init(sw_id_adaptive), 0);
    ASSERT_TRUE(other.ensure_nonblocking());

    env->log.clear();
    ASSERT_TRUE(env->sender.send(port_group_7, datagram(20, 8)));
    EXPECT_TRUE(pump_until(other, group_7, [] { return env->log.count("Unknown Event group_id: 7") == 1; }));
    EXPECT_EQ(env->log.count("group id: 7"), 1);
    EXPECT_EQ(env->log.count("Send SpecialFrameReport"), 0);
    other.close();
}

TEST_F(Capture_kernel_test, StopRequestEndsTheLoopAndCloseReleasesTheSocketButNotTheOffer) {
    const int fd = pcap_get_selectable_fd(env->traffic->capture_handle());
    ASSERT_GE(fd, 0);
    struct stat before {};
    ASSERT_EQ(fstat(fd, &before), 0);
    ASSERT_TRUE(S_ISSOCK(before.st_mode));

    const auto asked = std::chrono::steady_clock::now();
    terminate_requested.store(true);
    env->capture_thread.join();
    const auto waited = std::chrono::steady_clock::now() - asked;
    std::printf("main_loop ended %lld ms after the stop request\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
    terminate_requested.store(false);

    env->log.clear();
    env->traffic->close();
    env->loop_running = false;
    EXPECT_EQ(env->traffic->capture_handle(), nullptr);
    struct stat after {};
    const bool same_socket = fstat(fd, &after) == 0 && after.st_ino == before.st_ino && after.st_dev == before.st_dev;
    EXPECT_FALSE(same_socket) << "the netlink socket is still open";
    EXPECT_EQ(env->log.texts().front(), "Unbind group. Close nflog.");
    // The flow samples still use the Ethernet service: whoever started both
    // loops stops its offer after the second has ended.
    EXPECT_EQ(env->log.count("StopOfferService Ethernetsensor"), 0);

    EXPECT_TRUE(env->client.get(ethernet_port, ethernet_service, special_field).has_value())
        << "IDSEthernetSensor no longer answers";
    EXPECT_TRUE(env->client.get(ipsec_port, ipsec_service, firewall_field).has_value())
        << "IDSIpSecuritySensor stays offered";
}

// Runs after the capture above has let go of groups 101 and 102.
TEST_F(Capture_kernel_test, HousekeepingPartitionReadsGroup202AsFirewallMatches) {
    ASSERT_FALSE(env->loop_running);
    Traffic housekeeping(&env->pcap, sw_id_housekeeping, env->ethernet_handle.get(), env->ipsec_handle.get(),
                         &env->phm);
    ASSERT_EQ(housekeeping.init(sw_id_housekeeping), 0);
    // Copies the limits and makes the handle non-blocking; no pass runs.
    terminate_requested.store(true);
    housekeeping.main_loop(IDS_instances{"1", 100, "1", 100});
    terminate_requested.store(false);

    const auto data = datagram(64, 9);
    ASSERT_TRUE(env->sender.send(port_group_202, data));
    ASSERT_TRUE(pump_until(housekeeping, env->pcap,
                           [] { return env->log.count("security_events_group_id: 202") == 1; }));
    const auto record = published(ipsec_port, ipsec_service, firewall_field, data, 4);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)[3].text(), "fw.housekeeping.OUTPUT");
    housekeeping.close();
}

}  // namespace
}  // namespace capture_kernel
