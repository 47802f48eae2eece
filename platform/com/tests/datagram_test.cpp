// The datagram path as a function: what a datagram changes and what it is
// answered with, without sockets or threads.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>

#include "com/endpoint/log_limiter.h"
#include "com/endpoint/send_failures.h"
#include "com/sd/datagram_handler.h"

namespace {

namespace someip = ux::com::someip;
using ux::com::cpp_binding::Arrival;
using ux::com::cpp_binding::Datagram_outcome;
using ux::com::cpp_binding::Sd_sessions;
using ux::com::cpp_binding::Service_identity;
using ux::com::cpp_binding::Subscription_change;
using ux::com::cpp_binding::Subscription_table;

constexpr std::uint32_t loopback = 0x7f000001;

sockaddr_in address(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

someip::Sd_entry subscribe(std::uint16_t service, std::uint16_t instance, std::uint16_t eventgroup,
                           std::uint32_t ttl, std::uint16_t notify_port) {
    someip::Sd_entry e;
    e.type = someip::sd_entry_type::subscribe_eventgroup;
    e.service_id = service;
    e.instance_id = instance;
    e.major_version = 1;
    e.ttl = ttl;
    e.eventgroup_id = eventgroup;
    e.endpoint = someip::Ipv4_endpoint{loopback, notify_port, someip::l4_udp};
    return e;
}

someip::Sd_entry find(std::uint16_t service, std::uint16_t instance, std::uint8_t major = 0xff) {
    someip::Sd_entry e;
    e.type = someip::sd_entry_type::find_service;
    e.service_id = service;
    e.instance_id = instance;
    e.major_version = major;
    e.ttl = 3;
    e.minor_version = 0xffffffff;
    return e;
}

// The SD entries of a reply datagram, with its session and reboot flag.
struct Sd_reply {
    std::uint16_t session = 0;
    bool reboot = false;
    std::vector<someip::Sd_entry> entries;
};

Sd_reply decode_sd(const std::vector<std::uint8_t>& bytes) {
    const auto header = someip::parse_header(bytes.data(), bytes.size());
    EXPECT_TRUE(header && header->service_id == someip::sd_service_id && header->method_id == someip::sd_method_id);
    Sd_reply r;
    if (!header) {
        return r;
    }
    r.session = header->session_id;
    r.reboot = (bytes[someip::header_size] & 0x80) != 0;
    auto entries = someip::parse_sd_payload(bytes.data() + someip::header_size, bytes.size() - someip::header_size);
    EXPECT_TRUE(entries);
    if (entries) {
        r.entries = *entries;
    }
    return r;
}

class DatagramTest : public ::testing::Test {
protected:
    DatagramTest() : table(service.events, 2) {
        service.service_id = 0x1001;
        service.instance_id = 7;
        service.methods = 4;
        service.events = 4;
        service.endpoint = someip::Ipv4_endpoint{loopback, 30501, someip::l4_udp};
        service.accepts_methods = true;
        table = Subscription_table(service.events, 2);
    }

    // At the SD endpoint the answer goes out as the SD endpoint sends it
    // with this one service.
    Datagram_outcome feed(const std::vector<std::uint8_t>& bytes, Arrival arrival = Arrival::service_endpoint) {
        auto out = handle_datagram(service, arrival, table, sessions, now, bytes.data(), bytes.size(), client);
        if (!out.sd_answer.empty()) {
            out.replies.push_back(ux::com::cpp_binding::encode_sd_answer(out.sd_answer, sessions, client));
        }
        return out;
    }
    Datagram_outcome feed_sd(const std::vector<someip::Sd_entry>& entries,
                             Arrival arrival = Arrival::service_endpoint) {
        return feed(someip::encode_sd_message(1, true, entries), arrival);
    }

    Service_identity service;
    Subscription_table table;
    Sd_sessions sessions;
    Subscription_table::Clock::time_point now = Subscription_table::Clock::now();
    sockaddr_in client = address(loopback, 40000);
};

TEST_F(DatagramTest, SubscriptionIsAckedToTheSenderAndNotificationsGoToTheOption) {
    auto out = feed_sd({subscribe(0x1001, 7, 3, 5, 41000)});
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(out.replies[0].to.sin_port, client.sin_port);
    auto ack = decode_sd(out.replies[0].bytes);
    ASSERT_EQ(ack.entries.size(), 1u);
    EXPECT_EQ(ack.entries[0].type, someip::sd_entry_type::subscribe_eventgroup_ack);
    EXPECT_EQ(ack.entries[0].ttl, 5u);
    EXPECT_EQ(ack.entries[0].eventgroup_id, 3);
    ASSERT_EQ(out.changes.size(), 2u);
    EXPECT_EQ(out.changes[0].kind, Subscription_change::Kind::first_subscriber);
    EXPECT_EQ(out.changes[0].event, 2u);
    EXPECT_EQ(out.changes[1].kind, Subscription_change::Kind::new_subscriber);
    EXPECT_EQ(ntohs(out.changes[1].subscriber.sin_port), 41000);
    EXPECT_EQ(table.count(2), 1u);

    // A renewal is acked but brings no current value; a second subscriber
    // does not make the event "first" again.
    out = feed_sd({subscribe(0x1001, 7, 3, 5, 41000)});
    EXPECT_EQ(out.replies.size(), 1u);
    EXPECT_TRUE(out.changes.empty());
    out = feed_sd({subscribe(0x1001, 7, 3, 5, 41001)});
    ASSERT_EQ(out.changes.size(), 1u);
    EXPECT_EQ(out.changes[0].kind, Subscription_change::Kind::new_subscriber);

    // The table is full (two per event): Nack, nothing changes.
    out = feed_sd({subscribe(0x1001, 7, 3, 5, 41002)});
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(decode_sd(out.replies[0].bytes).entries.at(0).ttl, 0u);
    EXPECT_TRUE(out.changes.empty());

    // Stopping both: only the last one empties the event, and nothing is answered.
    out = feed_sd({subscribe(0x1001, 7, 3, 0, 41000)});
    EXPECT_TRUE(out.replies.empty());
    EXPECT_TRUE(out.changes.empty());
    out = feed_sd({subscribe(0x1001, 7, 3, 0, 41001)});
    ASSERT_EQ(out.changes.size(), 1u);
    EXPECT_EQ(out.changes[0].kind, Subscription_change::Kind::last_subscriber_gone);
    EXPECT_EQ(table.count(2), 0u);
}

TEST_F(DatagramTest, UnknownSubscriptionsAreRefusedOnTheEndpointButLeftToOthersOnTheSdPort) {
    const std::vector<someip::Sd_entry> wrong{subscribe(0x1001, 8, 1, 5, 41000), subscribe(0x1001, 7, 5, 5, 41000),
                                              subscribe(0x1002, 7, 1, 5, 41000)};
    auto out = feed_sd(wrong);
    ASSERT_EQ(out.replies.size(), 1u) << "one answer to one message";
    const auto nacks = decode_sd(out.replies[0].bytes).entries;
    ASSERT_EQ(nacks.size(), 3u);
    for (const auto& nack : nacks) {
        EXPECT_EQ(nack.ttl, 0u);
    }
    EXPECT_TRUE(out.changes.empty());
    // On the shared SD port another service of the process answers 0x1002.
    out = feed_sd(wrong, Arrival::sd_endpoint);
    EXPECT_EQ(out.sd_answer.size(), 2u);
    out = feed_sd({subscribe(0x1001, 7, 1, 5, 41000)}, Arrival::sd_endpoint);
    EXPECT_EQ(out.changes.size(), 2u);
}

TEST_F(DatagramTest, FindServiceIsAnsweredWithAUnicastOfferOfTheEndpoint) {
    for (const auto& entry : {find(0x1001, 7), find(0x1001, 0xffff), find(0xffff, 0xffff), find(0x1001, 7, 1)}) {
        for (Arrival arrival : {Arrival::sd_endpoint, Arrival::service_endpoint}) {
            auto out = feed_sd({entry}, arrival);
            ASSERT_EQ(out.replies.size(), 1u) << entry.service_id << "/" << entry.instance_id;
            EXPECT_EQ(out.replies[0].to.sin_port, client.sin_port);
            auto offer = decode_sd(out.replies[0].bytes).entries;
            ASSERT_EQ(offer.size(), 1u);
            EXPECT_EQ(offer[0].type, someip::sd_entry_type::offer_service);
            EXPECT_EQ(offer[0].service_id, 0x1001);
            EXPECT_EQ(offer[0].instance_id, 7);
            EXPECT_EQ(offer[0].major_version, 1);
            EXPECT_GT(offer[0].ttl, 0u);
            ASSERT_TRUE(offer[0].endpoint);
            EXPECT_EQ(*offer[0].endpoint, service.endpoint);
        }
    }
    for (const auto& entry : {find(0x1001, 8), find(0x1002, 0xffff), find(0x1001, 7, 2)}) {
        EXPECT_TRUE(feed_sd({entry}).replies.empty()) << entry.service_id << "/" << entry.instance_id;
    }
}

TEST_F(DatagramTest, RequestsAreDispatchedOrAnsweredWithErrorsOnlyOnTheEndpoint) {
    auto request = [](std::uint16_t service_id, std::uint16_t method, std::uint8_t iface,
                      std::size_t payload_size = 0) {
        someip::Header h;
        h.service_id = service_id;
        h.method_id = method;
        h.client_id = 0x1d5;
        h.session_id = 0x4242;
        h.interface_version = iface;
        h.length = someip::length_for(payload_size);
        std::uint8_t raw[someip::header_size];
        someip::encode_header(h, raw);
        std::vector<std::uint8_t> bytes(raw, raw + sizeof raw);
        bytes.resize(bytes.size() + payload_size, 0xab);
        return bytes;
    };
    auto out = feed(request(0x1001, 2, 1));
    ASSERT_EQ(out.calls.size(), 1u);
    EXPECT_EQ(out.calls[0].header.method_id, 2);
    EXPECT_TRUE(out.calls[0].payload.empty());
    EXPECT_TRUE(out.replies.empty());

    // A Get takes nothing: one that carries a payload is refused, not queued.
    const std::pair<std::vector<std::uint8_t>, std::uint8_t> errors[] = {
        {request(0x1002, 0, 1), someip::return_code::e_unknown_service},
        {request(0x1001, 4, 1), someip::return_code::e_unknown_method},
        {request(0x1001, 0, 2), someip::return_code::e_wrong_interface_version},
        {request(0x1001, 0, 1, 60000), someip::return_code::e_malformed_message},
    };
    for (const auto& [bytes, code] : errors) {
        out = feed(bytes);
        ASSERT_EQ(out.replies.size(), 1u);
        const auto& reply = out.replies[0].bytes;
        const auto h = someip::parse_header(reply.data(), reply.size());
        ASSERT_TRUE(h);
        EXPECT_EQ(h->message_type, someip::Message_type::error);
        EXPECT_EQ(h->return_code, code);
        EXPECT_EQ(h->client_id, 0x1d5);
        EXPECT_EQ(h->session_id, 0x4242);
        EXPECT_EQ(reply.size(), someip::header_size);
        EXPECT_TRUE(out.calls.empty());
        EXPECT_TRUE(feed(bytes, Arrival::sd_endpoint).replies.empty());
    }
    service.accepts_methods = false;
    EXPECT_TRUE(feed(request(0x1001, 2, 1)).calls.empty());
    EXPECT_TRUE(feed(request(0x1001, 2, 1), Arrival::sd_endpoint).calls.empty());
}

TEST_F(DatagramTest, MalformedDatagramsChangeNothing) {
    auto good = someip::encode_sd_message(1, true, {subscribe(0x1001, 7, 1, 5, 41000)});
    std::vector<std::vector<std::uint8_t>> bad{{}, std::vector<std::uint8_t>(good.begin(), good.begin() + 15)};
    auto truncated = good;
    truncated.pop_back();
    bad.push_back(truncated);  // length field disagrees
    auto entries_too_long = good;
    entries_too_long[someip::header_size + 7] += 16;
    bad.push_back(entries_too_long);
    auto option_index_outside = good;
    option_index_outside[someip::header_size + 8 + 1] = 5;
    bad.push_back(option_index_outside);
    for (const auto& bytes : bad) {
        auto out = feed(bytes);
        EXPECT_TRUE(out.malformed);
        EXPECT_TRUE(out.replies.empty() && out.changes.empty());
    }
    EXPECT_EQ(table.count(0), 0u);
}

TEST_F(DatagramTest, SubscriptionsMayNameOnlyTheSendersOwnUnicastUdpEndpoint) {
    table = Subscription_table(service.events, 64);
    auto naming = [&](std::uint32_t ip, std::uint16_t port, std::uint8_t protocol, std::uint32_t ttl = 5) {
        auto e = subscribe(0x1001, 7, 1, ttl, port);
        e.endpoint = someip::Ipv4_endpoint{ip, port, protocol};
        return e;
    };
    const std::vector<someip::Sd_entry> bad{
        naming(loopback + 1, 41000, someip::l4_udp),   // a third party
        naming(0, 41000, someip::l4_udp),              // 0.0.0.0
        naming(0xffffffff, 41000, someip::l4_udp),     // broadcast
        naming(0xe0000001, 41000, someip::l4_udp),     // multicast
        naming(loopback, 0, someip::l4_udp),           // port 0
        naming(loopback, 41000, 0x06),                 // TCP
    };
    for (Arrival arrival : {Arrival::service_endpoint, Arrival::sd_endpoint}) {
        auto out = feed_sd(bad, arrival);
        EXPECT_EQ(out.refused_subscriptions, bad.size());
        ASSERT_EQ(out.replies.size(), 1u);
        const auto nacks = decode_sd(out.replies[0].bytes).entries;
        ASSERT_EQ(nacks.size(), bad.size());
        for (const auto& nack : nacks) {
            EXPECT_EQ(nack.type, someip::sd_entry_type::subscribe_eventgroup_ack);
            EXPECT_EQ(nack.ttl, 0u);
        }
        EXPECT_TRUE(out.changes.empty());
    }
    EXPECT_EQ(table.count(0), 0u);

    // Nor may anyone end a subscription that is not its own.
    feed_sd({naming(loopback, 41000, someip::l4_udp)});
    client = address(loopback + 1, 40000);
    auto out = feed_sd({naming(loopback, 41000, someip::l4_udp, 0)});
    EXPECT_EQ(out.refused_subscriptions, 1u);
    EXPECT_EQ(table.count(0), 1u);

    // The deployment may allow another address or network.
    service.extra_subscribers.push_back(ux::com::cpp_binding::Ipv4_network{0x0a000000, 0xff000000});
    out = feed_sd({naming(0x0a010203, 41000, someip::l4_udp)});
    EXPECT_EQ(out.refused_subscriptions, 0u);
    EXPECT_EQ(table.count(0), 2u);
}

TEST_F(DatagramTest, OneSdMessageAnswersOneSdMessage) {
    // Thousands of finds for the service: one message, one offer.
    std::vector<someip::Sd_entry> finds(4000, find(0xffff, 0xffff));
    auto out = feed_sd(finds);
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(decode_sd(out.replies[0].bytes).entries.size(), 1u);

    // Finds and subscriptions together: still one message.
    out = feed_sd({find(0x1001, 7), subscribe(0x1001, 7, 1, 5, 41000), find(0x1001, 0xffff)});
    ASSERT_EQ(out.replies.size(), 1u);
    const auto entries = decode_sd(out.replies[0].bytes).entries;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].type, someip::sd_entry_type::offer_service);
    EXPECT_EQ(entries[1].type, someip::sd_entry_type::subscribe_eventgroup_ack);

    // Messages on the SD IDs that are not SD notifications get nothing.
    auto request = someip::encode_sd_message(1, true, {find(0x1001, 7)});
    request[14] = static_cast<std::uint8_t>(someip::Message_type::request);
    auto wrong_version = someip::encode_sd_message(1, true, {find(0x1001, 7)});
    wrong_version[13] = 2;
    auto error = someip::encode_sd_message(1, true, {find(0x1001, 7)});
    error[15] = someip::return_code::e_not_ok;
    for (const auto& bytes : {request, wrong_version, error}) {
        out = feed(bytes);
        EXPECT_TRUE(out.replies.empty());
        EXPECT_FALSE(out.malformed);
    }
}

TEST_F(DatagramTest, CurrentValueGoesToAnEndpointAtMostOnceASecond) {
    auto count_new = [](const Datagram_outcome& out) {
        return std::count_if(out.changes.begin(), out.changes.end(), [](const Subscription_change& c) {
            return c.kind == Subscription_change::Kind::new_subscriber;
        });
    };
    // Pairs of StopSubscribe and Subscribe: every Subscribe is acked, one
    // copy of the value goes out.
    std::vector<someip::Sd_entry> pairs;
    for (int i = 0; i < 100; ++i) {
        pairs.push_back(subscribe(0x1001, 7, 1, 0, 41000));
        pairs.push_back(subscribe(0x1001, 7, 1, 5, 41000));
    }
    auto out = feed_sd(pairs);
    EXPECT_EQ(count_new(out), 1);
    EXPECT_EQ(decode_sd(out.replies.at(0).bytes).entries.size(), 100u);
    now += std::chrono::seconds(1);
    EXPECT_EQ(count_new(feed_sd(pairs)), 1);
}

TEST_F(DatagramTest, AllowedNetworksEndAtTheirMaskAndStillNeedAUsablePort) {
    table = Subscription_table(service.events, 64);
    service.extra_subscribers.push_back(ux::com::cpp_binding::Ipv4_network{0x0a000100, 0xffffff00});
    auto naming = [&](std::uint32_t ip, std::uint16_t port) {
        auto e = subscribe(0x1001, 7, 1, 5, port);
        e.endpoint = someip::Ipv4_endpoint{ip, port, someip::l4_udp};
        return e;
    };
    EXPECT_EQ(feed_sd({naming(0x0a0001ff, 41000)}).refused_subscriptions, 0u);
    EXPECT_EQ(feed_sd({naming(0x0a000100, 41000)}).refused_subscriptions, 0u);
    EXPECT_EQ(feed_sd({naming(0x0a000200, 41000)}).refused_subscriptions, 1u);
    EXPECT_EQ(feed_sd({naming(0x0a0000ff, 41000)}).refused_subscriptions, 1u);
    EXPECT_EQ(feed_sd({naming(0x0a000105, 0)}).refused_subscriptions, 1u);
    EXPECT_EQ(table.count(0), 2u);
    // Any sender may name its own address, on a port other than the one it
    // sent from.
    client = address(0xc0a80007, 40000);
    EXPECT_EQ(feed_sd({naming(0xc0a80007, 50000)}).refused_subscriptions, 0u);
    EXPECT_EQ(table.count(0), 3u);
}

TEST(LogLimiter, FirstAtOnceThenAtMostOnceASecondWithTheCountSinceTheLastLine) {
    ux::com::cpp_binding::Log_limiter limiter;
    const auto t0 = ux::com::cpp_binding::Log_limiter::Clock::now();
    const auto ms = [t0](int n) { return t0 + std::chrono::milliseconds(n); };
    EXPECT_EQ(limiter.count(1, 3, t0), 3u);
    EXPECT_EQ(limiter.count(1, 1, ms(1)), 0u);
    EXPECT_EQ(limiter.count(1, 2, ms(999)), 0u);
    EXPECT_EQ(limiter.count(2, 1, ms(999)), 1u) << "another key has its own second";
    EXPECT_TRUE(limiter.take_due(ms(999)).empty());
    EXPECT_EQ(limiter.count(1, 4, ms(1000)), 7u);
    EXPECT_EQ(limiter.count(1, 1, ms(1500)), 0u);
    // Held-back counts come out once their second is over, and only once.
    EXPECT_TRUE(limiter.take_due(ms(1999)).empty());
    const auto due = limiter.take_due(ms(2000));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0], std::make_pair(std::uint32_t{1}, std::uint64_t{1}));
    EXPECT_TRUE(limiter.take_due(ms(5000)).empty());
    EXPECT_EQ(limiter.count(1, 1, ms(2500)), 0u) << "take_due started a new second";
    EXPECT_EQ(limiter.count(1, 0, ms(3000)), 1u);
}

TEST(SendFailures, GivenUpAfterLimitFailuresInARowPerDestination) {
    using ux::com::cpp_binding::Send_failures;
    Send_failures failures;
    const auto a = address(loopback, 1000);
    const auto b = address(loopback, 1001);
    for (int i = 0; i < Send_failures::limit - 1; ++i) {
        failures.failed(a);
        failures.failed(b);
    }
    failures.sent(a);  // a success ends a's streak only
    EXPECT_TRUE(failures.take_given_up().empty());
    for (int i = 0; i < Send_failures::limit - 1; ++i) {
        failures.failed(a);
    }
    EXPECT_TRUE(failures.take_given_up().empty());
    failures.failed(b);
    auto given_up = failures.take_given_up();
    ASSERT_EQ(given_up.size(), 1u);
    EXPECT_EQ(given_up[0].sin_port, b.sin_port);
    failures.failed(a);
    failures.failed(a);  // beyond the limit: reported once
    given_up = failures.take_given_up();
    ASSERT_EQ(given_up.size(), 1u);
    EXPECT_EQ(given_up[0].sin_port, a.sin_port);
    // Once reported, a destination starts a new streak.
    for (int i = 0; i < Send_failures::limit - 1; ++i) {
        failures.failed(b);
    }
    EXPECT_TRUE(failures.take_given_up().empty());
}

TEST(SdSessions, CountPerPeerAndClearTheRebootFlagOnlyAfterWrapping) {
    Sd_sessions sessions;
    const auto a = address(loopback, 1000);
    const auto b = address(loopback, 1001);
    EXPECT_EQ(sessions.next_unicast(a).session, 1);
    EXPECT_EQ(sessions.next_unicast(a).session, 2);
    EXPECT_EQ(sessions.next_unicast(b).session, 1);
    EXPECT_EQ(sessions.next_multicast().session, 1);
    Sd_sessions::Stamp last;
    for (int i = 0; i < 0xfffe; ++i) {
        last = sessions.next_multicast();
    }
    EXPECT_EQ(last.session, 0xffff);
    EXPECT_TRUE(last.reboot);
    last = sessions.next_multicast();
    EXPECT_EQ(last.session, 1);
    EXPECT_FALSE(last.reboot);
    EXPECT_TRUE(sessions.next_unicast(a).reboot);
}

}  // namespace
