// The binding around one small test service: component, offer checks,
// method processing, error answers and the malformed-datagram count.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ara/log/logging.h"
#include "com/binding/component_singleton.h"
#include "com/binding/illegal_state_exception.h"
#include "com/binding/skeleton.h"
#include "com/wire/someip_message.h"
#include "someip_client.h"

namespace {

using someip_test::Client;
using std::chrono::milliseconds;

struct Test_service {
    static constexpr const char* service_name = "test::Service";
    static constexpr std::uint32_t description = 0x10001;
};
constexpr std::uint16_t test_service_id = 0x1234;

oq::com::runtime::Shared_payload serialize_ints(const std::vector<int>& values) {
    auto payload = ux::com::cpp_binding::get_shared_payload(24);
    for (int v : values) {
        payload->push_back(static_cast<std::uint8_t>(v));
    }
    return payload;
}

class Test_skeleton : public ara::com::internal::skeleton::Skeleton<Test_service> {
public:
    explicit Test_skeleton(int mode) : Skeleton("3", mode), values(m_impl, 0, &serialize_ints) {}
    ~Test_skeleton() override { m_impl.shutdown(); }
    ara::com::internal::skeleton::Field<std::vector<int>> values;
};

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = someip_test::free_udp_port();
        m_deployment = "/tmp/binding_test_" + std::to_string(::getpid()) + ".json";
        someip_test::use_deployment(m_deployment, 0, 0, m_port);
        m_component = std::make_unique<ux::com::runtime::Component_singleton>(false, "");
    }
    void TearDown() override {
        m_component.reset();
        ::unlink(m_deployment.c_str());
    }

    std::uint16_t m_port = 0;
    std::string m_deployment;
    std::unique_ptr<ux::com::runtime::Component_singleton> m_component;
};

TEST_F(BindingTest, ComponentIsOnePerProcessAndNeededBySkeletons) {
    EXPECT_THROW(ux::com::runtime::Component_singleton(false, ""), ux::com::Illegal_state_exception);
    EXPECT_THROW(ux::com::runtime::Component_singleton(true, ""), ux::com::Illegal_state_exception);
    auto pool = m_component->get_thread_pool_factory().get_thread_pool(1);
    EXPECT_GE(pool->num_threads(), 2u);
    EXPECT_EQ(pool, m_component->get_thread_pool_factory().get_thread_pool(1));
    m_component.reset();
    EXPECT_THROW(Test_skeleton(1), ux::com::Illegal_state_exception);
}

TEST_F(BindingTest, OfferChecksKeepAFieldWithoutValueUnoffered) {
    Test_skeleton skeleton(1);
    try {
        skeleton.OfferService();
        FAIL() << "offered without value";
    } catch (const ux::com::Illegal_state_exception& e) {
        EXPECT_STREQ(e.what(), "Get handler enabled but not configured and Update not called; Method_id=0");
    }
    EXPECT_FALSE(skeleton.impl().port().is_offered());

    skeleton.values.RegisterGetHandler([] { return std::vector<int>{5}; });
    try {
        skeleton.OfferService();
        FAIL() << "offered without value";
    } catch (const ux::com::Illegal_state_exception& e) {
        EXPECT_STREQ(e.what(), "Notify enabled but Update not called; Event_id=0");
    }
    EXPECT_FALSE(skeleton.values.Update({1, 2})) << "published before the offer";
    skeleton.OfferService();
    skeleton.OfferService();  // repeated offer is harmless
    EXPECT_TRUE(skeleton.values.Update({1, 2}));
    Client client;
    EXPECT_EQ(client.get(m_port, test_service_id, 0), (std::vector<std::uint8_t>{5})) << "custom get handler";
    skeleton.StopOfferService();
    EXPECT_FALSE(skeleton.values.Update({3})) << "published after the offer ended";
}

TEST_F(BindingTest, SecondOfferOfTheSameEndpointFails) {
    Test_skeleton first(1);
    first.values.Update({1});
    first.OfferService();
    Test_skeleton second(1);
    second.values.Update({2});
    EXPECT_THROW(second.OfferService(), ux::com::cpp_binding::skeleton::Offer_failed);
    EXPECT_FALSE(second.impl().port().is_offered());
    Client client;
    EXPECT_EQ(client.get(m_port, test_service_id, 0), std::vector<std::uint8_t>{1});
    // Once the first goes, the second can take the endpoint.
    first.StopOfferService();
    second.OfferService();
    EXPECT_EQ(client.get(m_port, test_service_id, 0), std::vector<std::uint8_t>{2});
}

TEST_F(BindingTest, OffersAreAnnouncedAndABusySdPortCostsOnlyTheAnnouncement) {
    auto deploy = [this](std::uint16_t sd_port) {
        std::ofstream(m_deployment) << "{\"test::Service\": {\"service_id\": 4660, \"port\": " << m_port
                                    << "}, \"service_discovery\": {\"port\": " << sd_port << "}}";
    };
    // FindService for service 0x1234, any instance, any version.
    const auto find = someip_test::from_hex(
        "ffff8100 00000024 00000001 01010200 c0000000 00000010 00000000 1234ffff ff000003 ffffffff 00000000");
    {
        Client holder;  // holds the SD port
        deploy(holder.port());
        Test_skeleton skeleton(1);
        skeleton.values.Update({1});
        skeleton.OfferService();
        EXPECT_TRUE(skeleton.impl().port().is_offered());
        Client client;
        EXPECT_EQ(client.get(m_port, test_service_id, 0), std::vector<std::uint8_t>{1});
    }
    const std::uint16_t sd_port = someip_test::free_udp_port();
    deploy(sd_port);
    Test_skeleton skeleton(1);
    skeleton.values.Update({1});
    skeleton.OfferService();
    Client client;
    client.send_raw(sd_port, find);
    auto offer = client.receive_sd();
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->type, 0x01);
    EXPECT_EQ(offer->service_id, test_service_id);
    EXPECT_EQ(offer->instance_id, 3);
    EXPECT_GT(offer->ttl, 0u);
    // Once the offer ends, nobody answers there.
    skeleton.StopOfferService();
    client.send_raw(sd_port, find);
    EXPECT_FALSE(client.receive_sd(milliseconds(300)));
}

TEST_F(BindingTest, MalformedDatagramsAreCounted) {
    Test_skeleton skeleton(1);
    skeleton.values.Update({});
    skeleton.OfferService();
    Client client;
    client.send_raw(m_port, {1, 2, 3});
    client.send_raw(m_port, someip_test::from_hex("12340000 00000010 00010001 01010000"));
    client.send_raw(m_port, someip_test::from_hex("12340000 00000008 00010001 00010000"));
    client.send_raw(m_port, someip_test::from_hex("ffff8100 00000014 00000001 01010200 c0000000 00000010"));
    // A well-formed request behind them is still answered.
    EXPECT_EQ(client.get(m_port, test_service_id, 0), std::vector<std::uint8_t>{});
    EXPECT_EQ(skeleton.impl().port().malformed_datagrams(), 4u);
}

TEST_F(BindingTest, ApplicationErrorsAndFailuresAreAnswered) {
    Test_skeleton skeleton(1);
    skeleton.values.Update({});
    skeleton.OfferService();
    Client client;
    skeleton.values.RegisterGetHandler([]() -> std::vector<int> { throw ux::com::Application_error_exception(0x21, "busy"); });
    client.send_get(m_port, test_service_id, 0, 5);
    auto answer = client.receive_non_sd();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message_type, 0x81);
    EXPECT_EQ(answer->return_code, 0x21);
    EXPECT_TRUE(answer->payload.empty());

    std::atomic<int> fatal{0};
    ara::log::ScopedCapture capture([&](ara::log::LogLevel level, const std::string& text) {
        if (level == ara::log::LogLevel::kFatal && text.find("Method_call_request_exception") != std::string::npos) {
            ++fatal;
        }
    });
    skeleton.values.RegisterGetHandler([]() -> std::vector<int> { throw std::runtime_error("broken"); });
    client.send_get(m_port, test_service_id, 0, 6);
    answer = client.receive_non_sd();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message_type, 0x81);
    EXPECT_EQ(answer->return_code, 0x01);
    EXPECT_EQ(fatal.load(), 1);
}

TEST_F(BindingTest, SequentialProcessingAnswersEveryCall) {
    Test_skeleton skeleton(2);
    skeleton.values.Update({7});
    skeleton.OfferService();
    Client client;
    for (std::uint16_t session = 1; session <= 20; ++session) {
        client.send_get(m_port, test_service_id, 0, session);
    }
    for (std::uint16_t session = 1; session <= 20; ++session) {
        auto answer = client.receive_non_sd();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->session_id, session) << "answers out of order";
        EXPECT_EQ(answer->payload, std::vector<std::uint8_t>{7});
    }
}

TEST_F(BindingTest, CallsBeyondTheQueueAreDroppedAndCounted) {
    Test_skeleton skeleton(2);
    skeleton.values.Update({7});
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
    skeleton.values.RegisterGetHandler([&] {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return released; });
        return std::vector<int>{7};
    });
    std::atomic<int> lines{0};
    ara::log::ScopedCapture capture([&](ara::log::LogLevel, const std::string& text) {
        if (text.find("calls to service 4660 dropped") != std::string::npos) {
            ++lines;
        }
    });
    skeleton.OfferService();
    Client client;
    for (std::uint16_t session = 1; session <= 100; ++session) {
        client.send_get(m_port, test_service_id, 0, session);
    }
    std::this_thread::sleep_for(milliseconds(500));  // all of them reach the port meanwhile
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    cv.notify_all();
    int answered = 0;
    while (client.receive_non_sd(milliseconds(500))) {
        ++answered;
    }
    EXPECT_EQ(answered, 64);
    EXPECT_GE(lines.load(), 1);
}

TEST_F(BindingTest, ASubscriberWhoseNotificationsKeepFailingIsDropped) {
    Test_skeleton skeleton(1);
    skeleton.values.Update({1});
    std::atomic<int> lines{0};
    ara::log::ScopedCapture capture([&](ara::log::LogLevel, const std::string& text) {
        if (text.find("dropped after 5 failed notifications in a row") != std::string::npos) {
            ++lines;
        }
    });
    skeleton.OfferService();
    Client client;
    client.subscribe(m_port, test_service_id, 3, 1);
    ASSERT_TRUE(client.receive_sd());
    ASSERT_TRUE(client.receive_non_sd());
    // Larger than a UDP datagram can be: every send fails.
    const std::vector<int> too_big(70000, 1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(skeleton.impl().port().subscriber_count(0), 1u) << "dropped after " << i << " failures";
        skeleton.values.Update(too_big);
    }
    skeleton.values.Update({2});  // the next notification finds the streak
    EXPECT_EQ(skeleton.impl().port().subscriber_count(0), 0u);
    EXPECT_EQ(lines.load(), 1);
    EXPECT_FALSE(client.receive_non_sd(milliseconds(200)));
}

TEST_F(BindingTest, NoProcessingModeLeavesCallsUnanswered) {
    Test_skeleton skeleton(0);
    skeleton.values.Update({7});
    skeleton.OfferService();
    Client client;
    client.send_get(m_port, test_service_id, 0);
    EXPECT_FALSE(client.receive_non_sd(milliseconds(300)));
    skeleton.StopOfferService();  // must not wait for the dropped call
}

TEST_F(BindingTest, EventWithoutUpdateHandlerLogsTheRequest) {
    Test_skeleton skeleton(1);
    ux::com::cpp_binding::skeleton::Event_impl bare(skeleton.impl().port(), 0, {0});
    std::atomic<int> errors{0};
    ara::log::ScopedCapture capture([&](ara::log::LogLevel level, const std::string& text) {
        if (level == ara::log::LogLevel::kError && text.find("Event_request_update_err") != std::string::npos) {
            ++errors;
        }
    });
    bare.request_update({});
    EXPECT_EQ(errors.load(), 1);
    skeleton.impl().port().register_event(0, &skeleton.values.notifier());
}

// The SD endpoint's thread and the port's thread each handle a datagram in
// two steps: the datagram path under the port's lock, then its changes.
// Replayed through the real port in both orders (a StopSubscribe and a
// renewal of one subscriber): the subscriber left subscribed gets every update.
TEST_F(BindingTest, SubscriptionChangesAppliedInEitherOrderKeepTheSubscriberNotified) {
    namespace someip = ux::com::someip;
    for (const bool interleaved : {false, true}) {
        SCOPED_TRACE(interleaved ? "interleaved" : "in order");
        Test_skeleton skeleton(1);
        skeleton.values.Update({0});
        skeleton.OfferService();
        Client client;
        auto message = [&](std::uint32_t ttl) {
            someip::Sd_entry e;
            e.type = someip::sd_entry_type::subscribe_eventgroup;
            e.service_id = test_service_id;
            e.instance_id = 3;
            e.major_version = 1;
            e.ttl = ttl;
            e.eventgroup_id = 1;
            e.endpoint = someip::Ipv4_endpoint{INADDR_LOOPBACK, client.port(), someip::l4_udp};
            return someip::encode_sd_message(1, true, {e});
        };
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        from.sin_port = htons(client.port());
        someip::Sd_sessions sessions;
        ux::com::cpp_binding::Sd_service& port = skeleton.impl().port();
        auto run = [&](const std::vector<std::uint8_t>& bytes) {
            return port.process_sd(bytes.data(), bytes.size(), from, sessions);
        };
        auto subscribed = run(message(someip::ttl_infinite));
        port.apply(subscribed);
        auto stop = run(message(0));
        if (interleaved) {
            auto renewal = run(message(someip::ttl_infinite));
            port.apply(renewal);
            port.apply(stop);
        } else {
            port.apply(stop);
            auto renewal = run(message(someip::ttl_infinite));
            port.apply(renewal);
        }
        while (client.receive_non_sd(milliseconds(100))) {
        }
        ASSERT_EQ(skeleton.impl().port().subscriber_count(0), 1u);
        int received = 0;
        for (int i = 1; i <= 5; ++i) {
            skeleton.values.Update({i});
            if (auto n = client.receive_non_sd(milliseconds(500)); n && n->payload == std::vector<std::uint8_t>{
                                                                          static_cast<std::uint8_t>(i)}) {
                ++received;
            }
        }
        EXPECT_EQ(received, 5);
    }
}

TEST(ThreadPool, RunsEveryTaskAndStrandKeepsOrder) {
    auto pool = std::make_shared<ux::com::static_thread_pool>(3);
    std::atomic<int> done{0};
    std::mutex mutex;
    std::vector<int> order;
    {
        ux::com::Strand strand(pool);
        for (int i = 0; i < 200; ++i) {
            pool->post([&] { ++done; });
            strand.post([&, i] {
                std::lock_guard<std::mutex> lock(mutex);
                order.push_back(i);
            });
        }
    }
    pool.reset();  // runs what was posted, then joins
    EXPECT_EQ(done.load(), 200);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

}  // namespace
