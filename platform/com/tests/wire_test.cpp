// SOME/IP framing, SD entries, subscription bookkeeping and deployment rules.
#include <gtest/gtest.h>

#include <algorithm>

#include <stdexcept>

#include "com/sd/deployment.h"
#include "com/wire/someip_message.h"
#include "com/sd/subscription_table.h"
#include "someip_client.h"

namespace {

using namespace ux::com;
using someip_test::from_hex;
using someip_test::to_hex;

TEST(SomeipHeader, EncodesAndParsesEveryField) {
    someip::Header h;
    h.service_id = 0x1001;
    h.method_id = 0x8002;
    h.length = 8 + 3;
    h.client_id = 0xabcd;
    h.session_id = 0x0102;
    h.message_type = someip::Message_type::notification;
    h.return_code = 0;
    std::uint8_t bytes[someip::header_size];
    someip::encode_header(h, bytes);
    std::vector<std::uint8_t> datagram(bytes, bytes + sizeof bytes);
    EXPECT_EQ(to_hex(datagram), "100180020000000babcd010201010200");
    datagram.insert(datagram.end(), {1, 2, 3});
    auto parsed = someip::parse_header(datagram.data(), datagram.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->service_id, 0x1001);
    EXPECT_EQ(parsed->method_id, 0x8002);
    EXPECT_EQ(parsed->client_id, 0xabcd);
    EXPECT_EQ(parsed->session_id, 0x0102);
    EXPECT_EQ(parsed->message_type, someip::Message_type::notification);
}

TEST(SomeipHeader, RejectsMalformedDatagrams) {
    auto good = from_hex("10010000 00000008 00010001 01010000");
    EXPECT_TRUE(someip::parse_header(good.data(), good.size()));
    EXPECT_FALSE(someip::parse_header(good.data(), 15)) << "short";
    auto long_length = from_hex("10010000 00000009 00010001 01010000");
    EXPECT_FALSE(someip::parse_header(long_length.data(), long_length.size()));
    auto short_length = from_hex("10010000 00000007 00010001 01010000");
    EXPECT_FALSE(someip::parse_header(short_length.data(), short_length.size()));
    auto version = from_hex("10010000 00000008 00010001 02010000");
    EXPECT_FALSE(someip::parse_header(version.data(), version.size()));
    auto trailing = from_hex("10010000 00000008 00010001 01010000 ff");
    EXPECT_FALSE(someip::parse_header(trailing.data(), trailing.size())) << "length disagrees with datagram";
}

TEST(SomeipSd, ParsesASubscriptionWithItsEndpoint) {
    // flags, entries (16), options (12): SubscribeEventgroup 0x1001/7 eg 3 TTL 3 to 127.0.0.1:40000/UDP
    auto payload = from_hex("c0000000 00000010"
                            "06000010 10010007 01000003 00050003"
                            "0000000c 00090400 7f000001 00119c40");
    auto entries = someip::parse_sd_payload(payload.data(), payload.size());
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    const auto& e = entries->front();
    EXPECT_EQ(e.type, someip::sd_entry_type::subscribe_eventgroup);
    EXPECT_EQ(e.service_id, 0x1001);
    EXPECT_EQ(e.instance_id, 7);
    EXPECT_EQ(e.major_version, 1);
    EXPECT_EQ(e.ttl, 3u);
    EXPECT_EQ(e.counter, 5);
    EXPECT_EQ(e.eventgroup_id, 3);
    ASSERT_TRUE(e.endpoint);
    EXPECT_EQ(e.endpoint->address, 0x7f000001u);
    EXPECT_EQ(e.endpoint->port, 40000);
    EXPECT_EQ(e.endpoint->protocol, 0x11);
}

TEST(SomeipSd, RejectsInconsistentLengthsAndOptionIndexes) {
    auto entries_too_long = from_hex("c0000000 00000020 06000010 10010007 01000003 00050003 00000000");
    EXPECT_FALSE(someip::parse_sd_payload(entries_too_long.data(), entries_too_long.size()));
    auto not_a_multiple = from_hex("c0000000 00000004 06000010 00000000");
    EXPECT_FALSE(someip::parse_sd_payload(not_a_multiple.data(), not_a_multiple.size()));
    auto option_missing = from_hex("c0000000 00000010 06000010 10010007 01000003 00050003 00000000");
    EXPECT_FALSE(someip::parse_sd_payload(option_missing.data(), option_missing.size()));
    auto option_cut = from_hex("c0000000 00000010 06000010 10010007 01000003 00050003"
                               "0000000c 00200400 7f000001 00119c40");
    EXPECT_FALSE(someip::parse_sd_payload(option_cut.data(), option_cut.size()));
    auto options_length_wrong = from_hex("c0000000 00000000 00000004 00090400");
    EXPECT_FALSE(someip::parse_sd_payload(options_length_wrong.data(), options_length_wrong.size()));
    EXPECT_FALSE(someip::parse_sd_payload(nullptr, 0));
    auto empty = from_hex("c0000000 00000000 00000000");
    auto none = someip::parse_sd_payload(empty.data(), empty.size());
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(SomeipSd, AckMessageRoundTrips) {
    someip::Sd_entry ack;
    ack.type = someip::sd_entry_type::subscribe_eventgroup_ack;
    ack.service_id = 0x1002;
    ack.instance_id = 0x55;
    ack.major_version = 1;
    ack.ttl = someip::ttl_infinite;
    ack.counter = 2;
    ack.eventgroup_id = 1;
    auto message = someip::encode_sd_message(9, true, {ack});
    EXPECT_EQ(to_hex(message), "ffff8100" "00000024" "00000009" "01010200"
                               "c0000000" "00000010" "07000000" "10020055" "01ffffff" "00020001" "00000000");
    auto header = someip::parse_header(message.data(), message.size());
    ASSERT_TRUE(header);
    auto entries = someip::parse_sd_payload(message.data() + 16, message.size() - 16);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ((*entries)[0].eventgroup_id, 1);
    EXPECT_EQ((*entries)[0].ttl, someip::ttl_infinite);
    EXPECT_FALSE((*entries)[0].endpoint);
}

TEST(SubscriptionTable, CountsRenewsExpiresAndBounds) {
    using Clock = cpp_binding::Subscription_table::Clock;
    using Result = cpp_binding::Subscription_table::Result;
    cpp_binding::Subscription_table table(2, 2);
    const auto now = Clock::now();
    const someip::Ipv4_endpoint a{0x7f000001, 1000, 0x11};
    const someip::Ipv4_endpoint b{0x7f000001, 1001, 0x11};
    const someip::Ipv4_endpoint c{0x7f000001, 1002, 0x11};
    EXPECT_EQ(table.subscribe(0, a, 2, now), Result::added_first);
    EXPECT_EQ(table.subscribe(0, a, 10, now), Result::renewed);
    EXPECT_EQ(table.subscribe(0, b, 2, now), Result::added);
    EXPECT_EQ(table.subscribe(0, c, 2, now), Result::rejected) << "bound exceeded";
    EXPECT_EQ(table.subscribe(2, c, 2, now), Result::rejected) << "no such event";
    EXPECT_EQ(table.subscribe(1, c, 0, now), Result::rejected) << "TTL 0 is no subscription";
    EXPECT_EQ(table.subscribe(1, c, someip::ttl_infinite, now), Result::added_first);
    EXPECT_EQ(table.count(0), 2u);

    // b expires after 2 s, a was renewed to 10 s, c never expires.
    EXPECT_EQ(table.next_expiry(), now + std::chrono::seconds(2));
    EXPECT_TRUE(table.expire(now + std::chrono::seconds(3)).empty());
    EXPECT_EQ(table.count(0), 1u);
    EXPECT_EQ(table.next_expiry(), now + std::chrono::seconds(10));
    EXPECT_EQ(table.expire(now + std::chrono::hours(1000)), std::vector<std::size_t>{0});
    EXPECT_EQ(table.count(1), 1u);
    EXPECT_FALSE(table.next_expiry()) << "only c is left, and it never expires";
    EXPECT_FALSE(table.unsubscribe(1, a));
    EXPECT_TRUE(table.unsubscribe(1, c));
    EXPECT_EQ(table.subscribe(1, c, 5, now), Result::added_first);
    EXPECT_EQ(table.clear(), std::vector<std::size_t>{1});
    EXPECT_EQ(table.count(1), 0u);
}

TEST(SubscriptionTable, NoSourceHoldsMoreThanItsShareAndNewcomersAlwaysGetIn) {
    using Clock = cpp_binding::Subscription_table::Clock;
    using Result = cpp_binding::Subscription_table::Result;
    cpp_binding::Subscription_table table(1, 64, 8);
    const auto now = Clock::now();
    auto at = [](std::uint32_t host, std::uint16_t port) { return someip::Ipv4_endpoint{0x7f000000 + host, port, 0x11}; };
    for (std::uint16_t port = 1; port <= 8; ++port) {
        EXPECT_NE(table.subscribe(0, at(1, port), someip::ttl_infinite, now), Result::rejected);
    }
    EXPECT_EQ(table.subscribe(0, at(1, 9), someip::ttl_infinite, now), Result::rejected) << "share of one source";
    // 56 more sources fill the table; the oldest entry of the largest holder
    // (host 1, port 1) makes room for a source that holds none.
    for (std::uint32_t host = 2; host < 58; ++host) {
        EXPECT_EQ(table.subscribe(0, at(host, 1), someip::ttl_infinite, now), Result::added);
    }
    EXPECT_EQ(table.count(0), 64u);
    EXPECT_EQ(table.subscribe(0, at(100, 1), someip::ttl_infinite, now), Result::added);
    EXPECT_EQ(table.count(0), 64u);
    const auto& list = table.subscribers(0);
    EXPECT_EQ(std::count_if(list.begin(), list.end(), [&](const auto& e) { return e.endpoint.address == at(1, 0).address; }), 7);
    EXPECT_TRUE(std::none_of(list.begin(), list.end(), [&](const auto& e) { return e.endpoint == at(1, 1); }));
    EXPECT_EQ(table.subscribe(0, at(1, 1), 5, now), Result::rejected) << "host 1 holds the most already";
    // Every source holding one: the oldest goes, the table keeps its bound,
    // and infinite entries stay infinite.
    cpp_binding::Subscription_table flat(1, 4, 8);
    for (std::uint32_t host = 1; host <= 5; ++host) {
        flat.subscribe(0, at(host, 1), someip::ttl_infinite, now);
    }
    EXPECT_EQ(flat.count(0), 4u);
    EXPECT_EQ(flat.subscribers(0).front().endpoint, at(2, 1));
    EXPECT_FALSE(flat.next_expiry());
}

TEST(SubscriptionTable, AFullEventEvictsTheOldestEntryOfTheLargestHolderNotTheOldestOverall) {
    using Clock = cpp_binding::Subscription_table::Clock;
    using Result = cpp_binding::Subscription_table::Result;
    cpp_binding::Subscription_table table(1, 5, 8);
    const auto now = Clock::now();
    auto at = [](std::uint32_t host, std::uint16_t port) { return someip::Ipv4_endpoint{0x0a000000 + host, port, 0x11}; };
    auto holds = [&](const someip::Ipv4_endpoint& e) {
        const auto& l = table.subscribers(0);
        return std::any_of(l.begin(), l.end(), [&](const auto& s) { return s.endpoint == e; });
    };
    // Host 1 arrives first with one entry; hosts 2 and 3 then hold two each.
    table.subscribe(0, at(1, 1), 5, now);
    table.subscribe(0, at(2, 1), 5, now);
    table.subscribe(0, at(3, 1), 5, now);
    table.subscribe(0, at(3, 2), 5, now);
    table.subscribe(0, at(2, 2), 5, now);
    ASSERT_EQ(table.count(0), 5u);
    // Tie between hosts 2 and 3: the older of their entries (host 2, port 1) goes.
    EXPECT_EQ(table.subscribe(0, at(4, 1), 5, now), Result::added);
    EXPECT_TRUE(holds(at(1, 1))) << "the oldest entry overall belongs to a small holder";
    EXPECT_FALSE(holds(at(2, 1)));
    EXPECT_TRUE(holds(at(3, 1)));
    // Now host 3 alone holds the most (2); host 1, holding one, still gets in.
    EXPECT_EQ(table.subscribe(0, at(1, 2), 5, now), Result::added);
    EXPECT_FALSE(holds(at(3, 1)));
    EXPECT_TRUE(holds(at(3, 2)));
    EXPECT_EQ(table.count(0), 5u);
    // Every source holds at most as many as host 1 now: host 1 may not grow,
    // but it may still renew what it holds.
    EXPECT_EQ(table.subscribe(0, at(1, 3), 5, now), Result::rejected);
    EXPECT_EQ(table.subscribe(0, at(1, 1), 9, now), Result::renewed);
}

TEST(SubscriptionTable, TheShareIsPerEventAndRenewalsAtTheShareAreKept) {
    using Clock = cpp_binding::Subscription_table::Clock;
    using Result = cpp_binding::Subscription_table::Result;
    cpp_binding::Subscription_table table(2, 64, 2);
    const auto now = Clock::now();
    const someip::Ipv4_endpoint a{0x0a000001, 1, 0x11}, b{0x0a000001, 2, 0x11}, c{0x0a000001, 3, 0x11};
    EXPECT_EQ(table.subscribe(0, a, 5, now), Result::added_first);
    EXPECT_EQ(table.subscribe(0, b, 5, now), Result::added);
    EXPECT_EQ(table.subscribe(0, c, 5, now), Result::rejected);
    EXPECT_EQ(table.subscribe(0, b, 5, now), Result::renewed);
    EXPECT_EQ(table.subscribe(1, c, 5, now), Result::added_first);
    // Once one of its entries is gone the source may add another.
    EXPECT_FALSE(table.unsubscribe(0, a));
    EXPECT_EQ(table.subscribe(0, c, 5, now), Result::added);
}

TEST(SubscriptionTable, InfiniteTtlNeverExpiresAndRenewalsSwitchBetweenFiniteAndInfinite) {
    using Clock = cpp_binding::Subscription_table::Clock;
    cpp_binding::Subscription_table table(1, 4);
    const auto now = Clock::now();
    const someip::Ipv4_endpoint a{0x0a000001, 1, 0x11}, b{0x0a000001, 2, 0x11};
    table.subscribe(0, a, someip::ttl_infinite, now);
    table.subscribe(0, b, someip::ttl_infinite - 1, now);
    EXPECT_EQ(table.next_expiry(), now + std::chrono::seconds(someip::ttl_infinite - 1));
    table.expire(now + std::chrono::seconds(someip::ttl_infinite));
    ASSERT_EQ(table.count(0), 1u) << "0xFFFFFF is forever, 0xFFFFFE is not";
    EXPECT_EQ(table.subscribers(0)[0].endpoint, a);
    table.subscribe(0, a, 3, now);
    EXPECT_EQ(table.next_expiry(), now + std::chrono::seconds(3));
    table.subscribe(0, a, someip::ttl_infinite, now);
    EXPECT_FALSE(table.next_expiry());
    EXPECT_TRUE(table.expire(now + std::chrono::hours(24 * 365)).empty());
}

TEST(SomeipHeader, LengthFieldCountsEightBytesPlusThePayload) {
    EXPECT_EQ(someip::length_for(0), 8u);
    EXPECT_EQ(someip::notification_header(0x1001, 3, 9, 5).length, 13u);
    EXPECT_EQ(someip::notification_header(0x1001, 3, 9, 5).method_id, 0x8003);
    someip::Header request;
    request.length = someip::length_for(100);
    const std::uint8_t body[4] = {1, 2, 3, 4};
    auto ok = someip::encode_answer(request, body, sizeof body, someip::return_code::e_ok);
    ASSERT_EQ(ok.size(), someip::header_size + 4);
    auto parsed = someip::parse_header(ok.data(), ok.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->length, 12u);
    EXPECT_EQ(ok.back(), 4);
    // An error answer carries no payload, whatever body it is handed.
    auto error = someip::encode_answer(request, body, sizeof body, someip::return_code::e_not_ready);
    ASSERT_EQ(error.size(), someip::header_size);
    parsed = someip::parse_header(error.data(), error.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->length, 8u);
    EXPECT_EQ(parsed->message_type, someip::Message_type::error);
}

TEST(Deployment, InstanceIdsFromNumbersOrHash) {
    EXPECT_EQ(cpp_binding::instance_id_from_string("42"), 42);
    EXPECT_EQ(cpp_binding::instance_id_from_string("0x1f"), 0x1f);
    EXPECT_EQ(cpp_binding::instance_id_from_string("0xFFFF"), 0xffff);
    EXPECT_EQ(cpp_binding::instance_id_from_string("0x00000000abcd"), 0xabcd);
    EXPECT_EQ(cpp_binding::instance_id_from_string("65535"), 65535);
    EXPECT_EQ(cpp_binding::instance_id_from_string("000000001"), 1);
    // Upper-case "0X" is not the hexadecimal prefix: hashed like any other text.
    EXPECT_EQ(cpp_binding::instance_id_from_string("0XFFFF"), 54580);
    EXPECT_EQ(cpp_binding::instance_id_from_string("4294967297"), 20782);
    // Not a 16-bit number: folded FNV-1a of the bytes.
    EXPECT_EQ(cpp_binding::instance_id_from_string("abc"), 62284);
    EXPECT_EQ(cpp_binding::instance_id_from_string("65536"), 44088);
    EXPECT_EQ(cpp_binding::instance_id_from_string(""), 7385);
    EXPECT_NE(cpp_binding::instance_id_from_string("0x"), 0);
}

TEST(Deployment, DefaultsAndOverrides) {
    const std::string ethernet = "ksr::services::idsethernetsensor::IDSEthernetSensor";
    const std::string ipsec = "ksr::services::idsipsecuritysensor::IDSIpSecuritySensor";
    auto d = cpp_binding::resolve_deployment(ethernet, nullptr);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->service_id, 0x1001);
    EXPECT_EQ(d->address, "127.0.0.1");
    EXPECT_EQ(d->port, 30501);
    d = cpp_binding::resolve_deployment(ipsec, nullptr);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->service_id, 0x1002);
    EXPECT_EQ(d->port, 30502);
    EXPECT_FALSE(cpp_binding::resolve_deployment("other", nullptr));

    const std::string text = R"({"ksr::services::idsethernetsensor::IDSEthernetSensor": {"address": "127.0.0.2", "port": 40501}})";
    d = cpp_binding::resolve_deployment(ethernet, &text);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->service_id, 0x1001);
    EXPECT_EQ(d->address, "127.0.0.2");
    EXPECT_EQ(d->port, 40501);
    d = cpp_binding::resolve_deployment(ipsec, &text);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->port, 30502) << "services not named keep their defaults";

    const std::string bad_port = R"({"ksr::services::idsethernetsensor::IDSEthernetSensor": {"port": 70000}})";
    EXPECT_THROW(cpp_binding::resolve_deployment(ethernet, &bad_port), std::runtime_error);
    const std::string bad_address = R"({"ksr::services::idsethernetsensor::IDSEthernetSensor": {"address": "::1"}})";
    EXPECT_THROW(cpp_binding::resolve_deployment(ethernet, &bad_address), std::runtime_error);
    const std::string hidden_tail = R"({"ksr::services::idsethernetsensor::IDSEthernetSensor": {"address": "127.0.0.1\u0000x"}})";
    EXPECT_THROW(cpp_binding::resolve_deployment(ethernet, &hidden_tail), std::runtime_error);
    const std::string not_json = "{";
    EXPECT_THROW(cpp_binding::resolve_deployment(ethernet, &not_json), std::runtime_error);
    const std::string new_service = R"({"x": {"port": 1}})";
    EXPECT_THROW(cpp_binding::resolve_deployment("x", &new_service), std::runtime_error) << "needs a service_id";
}

TEST(Deployment, SdSubscribersAreAddressesOrNetworks) {
    const std::string text =
        R"({"service_discovery": {"subscribers": ["10.1.2.3", "192.168.0.0/16", "0.0.0.0/0"]}})";
    const auto d = cpp_binding::resolve_sd_deployment(&text);
    ASSERT_EQ(d.subscribers.size(), 3u);
    EXPECT_TRUE(d.subscribers[0].contains(0x0a010203));
    EXPECT_FALSE(d.subscribers[0].contains(0x0a010204));
    EXPECT_TRUE(d.subscribers[1].contains(0xc0a8ff01));
    EXPECT_FALSE(d.subscribers[1].contains(0xc0a90001));
    EXPECT_TRUE(d.subscribers[2].contains(0x01020304));
    for (const std::string bad : {R"({"service_discovery": {"subscribers": "10.0.0.1"}})",
                                  R"({"service_discovery": {"subscribers": ["10.0.0.1/33"]}})",
                                  R"({"service_discovery": {"subscribers": ["10.0.0.1/"]}})",
                                  R"({"service_discovery": {"subscribers": ["10.0.0"]}})",
                                  R"({"service_discovery": {"subscribers": [5]}})"}) {
        EXPECT_THROW(cpp_binding::resolve_sd_deployment(&bad), std::runtime_error) << bad;
    }
}

}  // namespace
