// The field servers seen from a real SOME/IP client on loopback.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ara/log/logging.h"
#include "com/component_singleton.h"
#include "sensor/services/field_server_handle.h"
#include "sensor/services/field_server_skeleton.h"
#include "sensor/services/field_server_skeleton_idsipsecuritysensor.h"
#include "sensor/services/report_serializer.h"
#include "someip_client.h"

namespace {

namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;
using someip_test::Client;
using std::chrono::milliseconds;

constexpr std::uint16_t ethernet_service = 0x1001;
constexpr std::uint16_t ipsec_service = 0x1002;
constexpr std::uint16_t instance = 7;
// Field indexes of IDSEthernetSensor
constexpr std::uint16_t classifier_match = 0;
constexpr std::uint16_t special_frame = 2;
constexpr std::uint16_t traffic_flow = 3;

template <typename Record>
std::vector<std::uint8_t> wire(const std::vector<Record>& list) {
    oq::com::runtime::Payload_buffer out;
    ksr::services::serialize(list, out);
    return out;
}

eth::DT_specialFrameReports_struct special(std::uint64_t timestamp) {
    eth::DT_specialFrameReports_struct r;
    r.reportTypeId = eth::special_frame_report_type_id;
    r.swId = 42;
    r.timestamp = timestamp;
    r.payload = eth::Byte_array{0x45, 0x00, 0x00, 0x14};
    r.frameType = eth::Special_frame_type::DoIP;
    r.truncatedLength = 0;
    return r;
}

class FieldServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ethernet_port = someip_test::free_udp_port();
        m_ipsec_port = someip_test::free_udp_port();
        m_deployment = "/tmp/field_server_test_" + std::to_string(::getpid()) + ".json";
        someip_test::use_deployment(m_deployment, m_ethernet_port, m_ipsec_port);
        m_component = std::make_unique<ux::com::runtime::Component_singleton>(false, "");
        m_ethernet = std::make_unique<Field_Server_Skeleton>();
        m_ipsec = std::make_unique<Field_Server_Skeleton_idsipsecuritysensor>();
    }

    void TearDown() override {
        m_ipsec.reset();
        m_ethernet.reset();
        m_component.reset();
        ::unlink(m_deployment.c_str());
    }

    void init_and_offer() {
        m_ethernet->init(std::to_string(instance));
        m_ipsec->init(std::to_string(instance));
        m_ethernet->offer_service();
        m_ipsec->offer_service();
    }

    void subscribe(Client& client, std::uint16_t field) {
        client.subscribe(m_ethernet_port, ethernet_service, instance, static_cast<std::uint16_t>(field + 1));
        auto ack = client.receive_sd();
        ASSERT_TRUE(ack);
        ASSERT_EQ(ack->type, 0x07);
        ASSERT_GT(ack->ttl, 0u);
    }

    std::uint16_t m_ethernet_port = 0;
    std::uint16_t m_ipsec_port = 0;
    std::string m_deployment;
    std::unique_ptr<ux::com::runtime::Component_singleton> m_component;
    std::unique_ptr<Field_Server_Skeleton> m_ethernet;
    std::unique_ptr<Field_Server_Skeleton_idsipsecuritysensor> m_ipsec;
};

TEST_F(FieldServerTest, GetRightAfterInitAnswersAnEmptyList) {
    init_and_offer();
    Client client;
    for (std::uint16_t field = 0; field < 4; ++field) {
        client.send_get(m_ethernet_port, ethernet_service, field, static_cast<std::uint16_t>(100 + field));
        auto answer = client.receive_non_sd();
        ASSERT_TRUE(answer) << "field " << field;
        EXPECT_EQ(answer->message_type, 0x80);
        EXPECT_EQ(answer->return_code, 0);
        EXPECT_EQ(answer->service_id, ethernet_service);
        EXPECT_EQ(answer->method_id, field);
        EXPECT_EQ(answer->client_id, 0x4242);
        EXPECT_EQ(answer->session_id, 100 + field);
        EXPECT_EQ(answer->length, 8u + 4u);
        EXPECT_EQ(answer->payload, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    }
    EXPECT_EQ(client.get(m_ipsec_port, ipsec_service, 0), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(FieldServerTest, TwoUpdatesReachGetterAsSecondAndSubscriberInOrder) {
    init_and_offer();
    Client subscriber;
    subscribe(subscriber, special_frame);
    auto initial = subscriber.receive_non_sd();
    ASSERT_TRUE(initial);
    EXPECT_EQ(initial->message_type, 0x02);
    EXPECT_EQ(initial->method_id, 0x8000 + special_frame);
    EXPECT_EQ(initial->payload, (std::vector<std::uint8_t>{0, 0, 0, 0}));

    const std::vector first{special(1)};
    const std::vector second{special(2)};
    m_ethernet->update_special_frame_reports(first);
    m_ethernet->update_special_frame_reports(second);

    auto n1 = subscriber.receive_non_sd();
    auto n2 = subscriber.receive_non_sd();
    ASSERT_TRUE(n1 && n2);
    EXPECT_EQ(n1->payload, wire(first));
    EXPECT_EQ(n2->payload, wire(second));
    EXPECT_EQ(n1->service_id, ethernet_service);
    EXPECT_EQ(n2->method_id, 0x8000 + special_frame);
    EXPECT_FALSE(subscriber.receive_non_sd(milliseconds(200))) << "a notification too many";

    Client getter;
    EXPECT_EQ(getter.get(m_ethernet_port, ethernet_service, special_frame), wire(second));
    // Other fields are untouched.
    EXPECT_EQ(getter.get(m_ethernet_port, ethernet_service, classifier_match),
              (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(FieldServerTest, ASubscriptionEndsWhenItsTtlRunsOut) {
    init_and_offer();
    Client subscriber;
    subscriber.subscribe(m_ethernet_port, ethernet_service, instance, special_frame + 1, 1);
    auto ack = subscriber.receive_sd();
    ASSERT_TRUE(ack && ack->type == 0x07 && ack->ttl == 1u);
    ASSERT_TRUE(subscriber.receive_non_sd()) << "the current value";
    m_ethernet->update_special_frame_reports({special(1)});
    ASSERT_TRUE(subscriber.receive_non_sd()) << "within the second";
    std::this_thread::sleep_for(milliseconds(1100));
    m_ethernet->update_special_frame_reports({special(2)});
    EXPECT_FALSE(subscriber.receive_non_sd(milliseconds(300))) << "notified after the TTL ran out";
}

TEST_F(FieldServerTest, EmptyListUpdateNotifiesAnEmptyList) {
    init_and_offer();
    m_ethernet->update_special_frame_reports({special(5)});
    Client subscriber;
    subscribe(subscriber, special_frame);
    auto current = subscriber.receive_non_sd();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->payload, wire(std::vector{special(5)})) << "a new subscriber gets the current value";
    m_ethernet->update_special_frame_reports({});
    auto emptied = subscriber.receive_non_sd();
    ASSERT_TRUE(emptied);
    EXPECT_EQ(emptied->payload, (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(FieldServerTest, UpdateWithoutSubscriberSerializesNothing) {
    init_and_offer();
    ara::log::InitLogging("TEST", "field server test", ara::log::LogLevel::kDebug, ara::log::LogMode::kConsole, "");
    std::mutex mutex;
    int notifications = 0;
    nlohmann::json last_record;
    {
        ara::log::ScopedCapture capture([&](ara::log::LogLevel, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            if (text.find("\"Event_update_tx\"") != std::string::npos) {
                ++notifications;
                last_record = nlohmann::json::parse(text);
            }
        });
        m_ethernet->update_traffic_flow_samples({eth::DT_trafficFlowSamples_struct{}});
        {
            std::lock_guard<std::mutex> lock(mutex);
            EXPECT_EQ(notifications, 0);
        }
        Client subscriber;
        subscribe(subscriber, traffic_flow);
        ASSERT_TRUE(subscriber.receive_non_sd());
        m_ethernet->update_traffic_flow_samples({eth::DT_trafficFlowSamples_struct{}});
        ASSERT_TRUE(subscriber.receive_non_sd());
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(notifications, 1);
        const auto& incident = last_record.at("1_incident");
        EXPECT_EQ(incident.at("2_service_id"), ethernet_service);
        EXPECT_EQ(incident.at("3_instance_id"), instance);
        EXPECT_EQ(incident.at("2_Event_id"), 0x8000 + traffic_flow);
        EXPECT_EQ(incident.at("2_data").at(0).at("format"), 0);
        EXPECT_EQ(incident.at("2_data").at(0).at("bytes"), "0000000400000000");
    }
    ara::log::InitLogging("TEST", "field server test", ara::log::LogLevel::kInfo, ara::log::LogMode::kConsole, "");
}

TEST_F(FieldServerTest, StopAndStartOfTheOffer) {
    init_and_offer();
    Client client;
    subscribe(client, special_frame);
    ASSERT_TRUE(client.receive_non_sd());

    m_ethernet->stop_offer_service();
    m_ethernet->stop_offer_service();  // the second stop is harmless
    client.send_get(m_ethernet_port, ethernet_service, special_frame);
    EXPECT_FALSE(client.receive_non_sd(milliseconds(300))) << "answered while not offered";
    m_ethernet->update_special_frame_reports({special(9)});  // accepted while stopped

    m_ethernet->offer_service();
    EXPECT_EQ(client.get(m_ethernet_port, ethernet_service, special_frame), wire(std::vector{special(9)}));
    // The stop ended the subscription.
    m_ethernet->update_special_frame_reports({special(10)});
    EXPECT_FALSE(client.receive_non_sd(milliseconds(300))) << "subscription survived the stop";

    // The other service was not affected.
    EXPECT_EQ(client.get(m_ipsec_port, ipsec_service, 0), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(FieldServerTest, UnknownMethodOrServiceGetsAnError) {
    init_and_offer();
    Client client;
    client.send_get(m_ethernet_port, ethernet_service, 4, 77);
    auto answer = client.receive_non_sd();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message_type, 0x81);
    EXPECT_EQ(answer->return_code, 0x03);
    EXPECT_EQ(answer->session_id, 77);
    EXPECT_TRUE(answer->payload.empty());

    client.send_get(m_ipsec_port, ipsec_service, 1);
    answer = client.receive_non_sd();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->return_code, 0x03);

    client.send_get(m_ethernet_port, 0x1234, 0);
    answer = client.receive_non_sd();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message_type, 0x81);
    EXPECT_EQ(answer->return_code, 0x02);
}

TEST_F(FieldServerTest, SubscriptionsToUnknownTargetsAreRefused) {
    init_and_offer();
    Client client;
    client.subscribe(m_ethernet_port, ethernet_service, instance, 5);  // eventgroups are 1 to 4
    auto nack = client.receive_sd();
    ASSERT_TRUE(nack);
    EXPECT_EQ(nack->type, 0x07);
    EXPECT_EQ(nack->ttl, 0u);
    EXPECT_EQ(nack->eventgroup_id, 5);

    client.subscribe(m_ethernet_port, ethernet_service, instance + 1, 1);
    nack = client.receive_sd();
    ASSERT_TRUE(nack);
    EXPECT_EQ(nack->ttl, 0u);

    client.subscribe(m_ipsec_port, ethernet_service, instance, 1);
    nack = client.receive_sd();
    ASSERT_TRUE(nack);
    EXPECT_EQ(nack->ttl, 0u);
    EXPECT_FALSE(client.receive_non_sd(milliseconds(200))) << "a refused subscriber got data";
}

TEST_F(FieldServerTest, StopSubscribeEndsNotifications) {
    init_and_offer();
    Client client;
    subscribe(client, special_frame);
    ASSERT_TRUE(client.receive_non_sd());
    client.subscribe(m_ethernet_port, ethernet_service, instance, special_frame + 1, 0);
    // Give the server a moment to take the stop.
    EXPECT_FALSE(client.receive(milliseconds(200))) << "a stop was answered";
    m_ethernet->update_special_frame_reports({special(3)});
    EXPECT_FALSE(client.receive_non_sd(milliseconds(300)));
}

TEST_F(FieldServerTest, RenewalIsAcknowledgedWithoutRepeatingTheValue) {
    init_and_offer();
    Client client;
    subscribe(client, special_frame);
    ASSERT_TRUE(client.receive_non_sd());
    subscribe(client, special_frame);
    EXPECT_FALSE(client.receive_non_sd(milliseconds(200))) << "the renewal sent the value again";
    m_ethernet->update_special_frame_reports({special(6)});
    auto n = client.receive_non_sd();
    ASSERT_TRUE(n);
    EXPECT_EQ(n->payload, wire(std::vector{special(6)}));
    EXPECT_FALSE(client.receive_non_sd(milliseconds(200))) << "the renewal doubled the subscription";
}

TEST_F(FieldServerTest, SubscriptionExpiresAfterItsTtl) {
    init_and_offer();
    Client client;
    client.subscribe(m_ethernet_port, ethernet_service, instance, special_frame + 1, 1);
    auto ack = client.receive_sd();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->ttl, 1u);
    ASSERT_TRUE(client.receive_non_sd());
    ::usleep(1500 * 1000);
    m_ethernet->update_special_frame_reports({special(4)});
    EXPECT_FALSE(client.receive_non_sd(milliseconds(300)));
}

TEST_F(FieldServerTest, MalformedFloodNeitherCrashesNorStalls) {
    init_and_offer();
    Client attacker;
    const std::vector<std::vector<std::uint8_t>> bad{
        {},
        {0x10, 0x01, 0x00},
        someip_test::from_hex("10010000 000000ff 00010001 01010000"),           // length too large
        someip_test::from_hex("10010000 00000008 00010001 02010000"),           // protocol version 2
        someip_test::from_hex("ffff8100 00000010 00000001 01010200 c0000000 00000010"),  // SD cut short
        someip_test::from_hex("ffff8100 0000001c 00000001 01010200 c0000000 00000010"
                              "06000010 10010007 01ffffff"),                    // entry cut short
    };
    for (int round = 0; round < 3000; ++round) {
        for (const auto& datagram : bad) {
            attacker.send_raw(m_ethernet_port, datagram);
        }
    }
    // A datagram that arrives while the socket buffer is still full is
    // lost like any UDP datagram, so the client asks again.
    Client client;
    std::optional<std::vector<std::uint8_t>> answer;
    for (int attempt = 0; attempt < 20 && !answer; ++attempt) {
        client.send_get(m_ethernet_port, ethernet_service, special_frame);
        auto msg = client.receive_non_sd(milliseconds(250));
        if (msg && msg->message_type == 0x80) {
            answer = msg->payload;
        }
    }
    ASSERT_TRUE(answer) << "no answer after the flood";
    EXPECT_EQ(*answer, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    subscribe(client, special_frame);
}

TEST_F(FieldServerTest, IpSecurityServerPublishesFirewallReports) {
    init_and_offer();
    Client client;
    client.subscribe(m_ipsec_port, ipsec_service, instance, 1);
    auto ack = client.receive_sd();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->service_id, ipsec_service);
    EXPECT_GT(ack->ttl, 0u);
    ASSERT_TRUE(client.receive_non_sd());

    ipsec::DT_firewallFilterReports_struct r;
    r.reportTypeId = ipsec::firewall_filter_report_type_id;
    r.swId = 265;
    r.timestamp = 99;
    r.logPrefix = "fw.drop";
    r.payload = ipsec::Byte_array{1};
    r.truncatedLength = 0;
    m_ipsec->update_firewall_filter_reports({r});
    auto n = client.receive_non_sd();
    ASSERT_TRUE(n);
    EXPECT_EQ(n->service_id, ipsec_service);
    EXPECT_EQ(n->method_id, 0x8000);
    EXPECT_EQ(n->payload, wire(std::vector{r}));
    EXPECT_EQ(client.get(m_ipsec_port, ipsec_service, 0), wire(std::vector{r}));
    m_ipsec->stop_offer_service();
    m_ipsec->stop_offer_service();
}

TEST_F(FieldServerTest, HandleInitialisesAndLogsAroundTheCalls) {
    ara::log::InitLogging("TEST", "field server test", ara::log::LogLevel::kDebug, ara::log::LogMode::kConsole, "");
    std::vector<std::string> lines;
    std::mutex mutex;
    {
        ara::log::ScopedCapture capture([&](ara::log::LogLevel level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            if (level == ara::log::LogLevel::kDebug && text.find("1_incident") == std::string::npos &&
                text.find("Pport") == std::string::npos) {
                lines.push_back(text);
            }
        });
        Field_server_handle<Field_Server_Skeleton_Interface> ethernet(m_ethernet.get(), "7");
        Field_server_handle<Field_Server_Skeleton_Idsipsecuritysensor_Interface> ipsec(m_ipsec.get(), "0x7");
        ethernet.offer_service();
        ipsec.offer_service();
        ethernet.stop_offer_service();
        ipsec.stop_offer_service();
    }
    ara::log::InitLogging("TEST", "field server test", ara::log::LogLevel::kInfo, ara::log::LogMode::kConsole, "");
    const std::vector<std::string> expected{
        "init Field Server Ethernetsensor",
        "aracom_InstanceId_idsEthernetsensor: 7",
        "init Field Server Ipsecuritysensor",
        "aracom_InstanceId_idsIPsecsensor: 0x7",
        "Starting Field_Server Ethernetsensor",
        "server Offering Service Ethernetsensor",
        "Starting Field_Server Ipsecuritysensor",
        "server Offering Service Ipsecuritysensor",
        "StopOfferService Ethernetsensor",
        "StopOfferService Ipsecuritysensor",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FieldServerTest, CallsBeforeInitAreRefusedWithoutCrashing) {
    m_ethernet->update_special_frame_reports({special(1)});
    m_ethernet->offer_service();
    m_ethernet->stop_offer_service();
    m_ipsec->update_firewall_filter_reports({});
    Client client;
    client.send_get(m_ethernet_port, ethernet_service, special_frame);
    EXPECT_FALSE(client.receive_non_sd(milliseconds(200)));
    // A later init still works, and a second init replaces the skeleton.
    m_ethernet->init("7");
    m_ethernet->init("7");
    m_ethernet->offer_service();
    EXPECT_EQ(client.get(m_ethernet_port, ethernet_service, special_frame), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

}  // namespace
