// Two producers, concurrent getters and subscribers churning on the same
// fields: every notification arrives, in order, with its own value.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com/component_singleton.h"
#include "sensor/services/field_server_skeleton.h"
#include "someip_client.h"

namespace {

namespace eth = ksr::services::idsethernetsensor::datatypes;
using someip_test::Client;
using std::chrono::milliseconds;

constexpr std::uint16_t service = 0x1001;
constexpr std::uint16_t instance = 1;
constexpr std::uint16_t special_frame = 2;
constexpr std::uint16_t traffic_flow = 3;
constexpr int updates = 300;

// Records start with reportTypeId and swId; the timestamp value follows
// its tag at byte 28 of a one-record list.
std::uint64_t timestamp_of(const std::vector<std::uint8_t>& payload) {
    if (payload.size() < 36) {
        return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = value << 8 | payload[28 + i];
    }
    return value;
}

std::vector<std::uint64_t> collect(Client& client, std::uint16_t event, int count) {
    std::vector<std::uint64_t> seen;
    while (static_cast<int>(seen.size()) < count) {
        auto msg = client.receive_non_sd(milliseconds(10000));
        if (!msg) {
            break;
        }
        if (msg->method_id == 0x8000 + event) {
            seen.push_back(timestamp_of(msg->payload));
        }
    }
    return seen;
}

TEST(FieldServerConcurrency, ProducersGettersAndSubscribersTogether) {
    const std::uint16_t port = someip_test::free_udp_port();
    const std::string deployment = "/tmp/field_server_concurrency_" + std::to_string(::getpid()) + ".json";
    someip_test::use_deployment(deployment, port, someip_test::free_udp_port());
    ux::com::runtime::Component_singleton component(false, "");
    Field_Server_Skeleton server;
    server.init(std::to_string(instance));
    server.offer_service();

    Client special_subscriber;
    Client flow_subscriber;
    for (auto [client, field] : {std::pair{&special_subscriber, special_frame}, std::pair{&flow_subscriber, traffic_flow}}) {
        client->subscribe(port, service, instance, static_cast<std::uint16_t>(field + 1));
        auto ack = client->receive_sd();
        ASSERT_TRUE(ack && ack->ttl > 0);
        auto initial = client->receive_non_sd();
        ASSERT_TRUE(initial);
        ASSERT_EQ(initial->payload, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    }

    std::vector<std::uint64_t> special_seen;
    std::vector<std::uint64_t> flow_seen;
    std::thread special_reader([&] { special_seen = collect(special_subscriber, special_frame, updates); });
    std::thread flow_reader([&] { flow_seen = collect(flow_subscriber, traffic_flow, updates); });

    std::atomic<bool> running{true};
    std::atomic<int> answers{0};
    std::atomic<int> bad_answers{0};
    std::vector<std::thread> helpers;
    for (std::uint16_t field : {special_frame, traffic_flow}) {
        helpers.emplace_back([&, field] {
            Client getter;
            while (running) {
                getter.send_get(port, service, field);
                auto msg = getter.receive_non_sd(milliseconds(2000));
                if (!msg) {
                    continue;
                }
                ++answers;
                // Either the seed list or a one-record list.
                if (msg->message_type != 0x80 || (msg->payload.size() != 4 && timestamp_of(msg->payload) == 0)) {
                    ++bad_answers;
                }
            }
        });
    }
    helpers.emplace_back([&] {
        // Subscribers come and go on the same eventgroups, which flips the
        // events' format lists while the producers notify.
        Client churn;
        while (running) {
            churn.subscribe(port, service, instance, special_frame + 1);
            churn.subscribe(port, service, instance, traffic_flow + 1);
            churn.subscribe(port, service, instance, special_frame + 1, 0);
            churn.subscribe(port, service, instance, traffic_flow + 1, 0);
            while (churn.receive(milliseconds(1))) {
            }
        }
    });

    std::thread capture_thread([&] {
        for (int i = 1; i <= updates; ++i) {
            eth::DT_specialFrameReports_struct r;
            r.reportTypeId = eth::special_frame_report_type_id;
            r.swId = 42;
            r.timestamp = static_cast<std::uint64_t>(i);
            r.payload = eth::Byte_array(64, static_cast<std::uint8_t>(i));
            r.frameType = eth::Special_frame_type::XCP;
            r.truncatedLength = 0;
            server.update_special_frame_reports({r});
        }
    });
    std::thread flow_thread([&] {
        for (int i = 1; i <= updates; ++i) {
            eth::DT_trafficFlowSamples_struct r;
            r.reportTypeId = eth::traffic_flow_sample_type_id;
            r.swId = 42;
            r.timestamp = static_cast<std::uint64_t>(i);
            r.sourceIpAddr = "10.0.0.1";
            r.destinationIpAddr = "10.0.0.2";
            r.packets = static_cast<std::uint32_t>(i);
            server.update_traffic_flow_samples({r});
        }
    });
    capture_thread.join();
    flow_thread.join();
    special_reader.join();
    flow_reader.join();
    running = false;
    for (auto& t : helpers) {
        t.join();
    }
    server.stop_offer_service();
    server.stop_offer_service();
    ::unlink(deployment.c_str());

    ASSERT_EQ(special_seen.size(), static_cast<std::size_t>(updates));
    ASSERT_EQ(flow_seen.size(), static_cast<std::size_t>(updates));
    for (int i = 0; i < updates; ++i) {
        EXPECT_EQ(special_seen[i], static_cast<std::uint64_t>(i + 1));
        EXPECT_EQ(flow_seen[i], static_cast<std::uint64_t>(i + 1));
    }
    EXPECT_GT(answers.load(), 0);
    EXPECT_EQ(bad_answers.load(), 0);
}

}  // namespace
