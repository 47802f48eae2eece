// Splitting an NFLOG message into payload and prefix.
#include <gtest/gtest.h>

#include "sensor/capture/tests/capture_test_support.h"

namespace capture_test {
namespace {

class Parse_test : public Traffic_fixture {
protected:
    Nflog_packet parse(const std::vector<std::uint8_t>& bytes, std::uint32_t caplen) {
        const pcap_pkthdr header = header_for(caplen, 1700000042);
        return parse_nflog_packet(pcap, &header, bytes.data());
    }
    Nflog_packet parse(const Nflog_message& message) { return parse(message.bytes(), message.size()); }
};

TEST_F(Parse_test, AttributesEndingAtTheMessageEndAreTaken) {
    const std::uint32_t mark = 0x01020304;
    const auto bytes = pattern(33);  // padded to 36 in the message
    const Nflog_message message =
        Nflog_message(101).attribute(1, &mark, 4).prefix("serviceDiscoveryReports.match.SD").payload(bytes);
    const Nflog_packet packet = parse(message);
    ASSERT_NE(packet.prefix, nullptr);
    EXPECT_STREQ(packet.prefix, "serviceDiscoveryReports.match.SD");
    ASSERT_NE(packet.payload, nullptr);
    EXPECT_EQ(packet.payload_length, 33U);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), packet.payload));
    EXPECT_EQ(packet.capture_seconds, 1700000042);
}

TEST_F(Parse_test, MissingAttributesLeaveNullAndZero) {
    const std::uint32_t mark = 7;
    const Nflog_message message = Nflog_message(101).attribute(4, &mark, 4);
    const Nflog_packet packet = parse(message);
    EXPECT_EQ(packet.prefix, nullptr);
    EXPECT_EQ(packet.payload, nullptr);
    EXPECT_EQ(packet.payload_length, 0U);

    const Nflog_message empty(101);
    const Nflog_packet bare = parse(empty);
    EXPECT_EQ(bare.prefix, nullptr);
    EXPECT_EQ(bare.payload, nullptr);
}

TEST_F(Parse_test, LaterAttributeOfTheSameTypeWins) {
    const auto first = pattern(5);
    const auto second = pattern(9);
    const Nflog_message message = Nflog_message(101)
                                      .prefix("specialFrameReports.match.XCP")
                                      .payload(first)
                                      .prefix("classifierMatchReports.match.RULE")
                                      .payload(second);
    const Nflog_packet packet = parse(message);
    EXPECT_STREQ(packet.prefix, "classifierMatchReports.match.RULE");
    EXPECT_EQ(packet.payload_length, 9U);
}

TEST_F(Parse_test, NestedTypeBitIsIgnored) {
    const std::string text = "specialFrameReports.match.IPv4";
    const Nflog_message message = Nflog_message(101).attribute(0x8000 | 10, text.c_str(), text.size() + 1);
    const Nflog_packet packet = parse(message);
    EXPECT_STREQ(packet.prefix, text.c_str());
}

TEST_F(Parse_test, AttributesPastTheMessageEndAreNeverLookedAt) {
    // The next netlink message of the receive buffer follows this one.
    const Nflog_message message = Nflog_message(101).prefix("specialFrameReports.match.DoIP");
    Nflog_message buffer = message;
    buffer.prefix("classifierMatchReports.match.RULE").payload(pattern(12));
    const Nflog_packet packet = parse(buffer.bytes(), message.size());
    EXPECT_STREQ(packet.prefix, "specialFrameReports.match.DoIP");
    EXPECT_EQ(packet.payload, nullptr);
}

TEST_F(Parse_test, AttributeLongerThanWhatIsLeftStopsTheWalk) {
    Nflog_message message = Nflog_message(101).prefix("specialFrameReports.match.DoIP");
    message.append_raw_header(200, 9);  // claims 196 value bytes, none there
    std::vector<std::uint8_t> buffer = message.bytes();
    buffer.resize(buffer.size() + 256, 0xee);  // readable, but not part of the message
    const Nflog_packet packet = parse(buffer, message.size());
    EXPECT_STREQ(packet.prefix, "specialFrameReports.match.DoIP");
    EXPECT_EQ(packet.payload, nullptr);
    EXPECT_EQ(packet.payload_length, 0U);
}

TEST_F(Parse_test, AttributeShorterThanItsHeaderStopsTheWalk) {
    Nflog_message message(101);
    message.append_raw_header(3, 10);
    message.payload(pattern(8));
    const Nflog_packet packet = parse(message);
    EXPECT_EQ(packet.prefix, nullptr);
    EXPECT_EQ(packet.payload, nullptr);
}

TEST_F(Parse_test, TruncatedAttributeHeaderAtTheEndIsNotRead) {
    Nflog_message message = Nflog_message(101).payload(pattern(4));
    std::vector<std::uint8_t> buffer = message.bytes();
    buffer.insert(buffer.end(), {8, 0});  // half a header inside the message
    buffer.resize(buffer.size() + 64, 0);
    const Nflog_packet packet = parse(buffer, message.size() + 2);
    EXPECT_EQ(packet.payload_length, 4U);
    EXPECT_EQ(packet.prefix, nullptr);
}

TEST_F(Parse_test, UnterminatedPrefixCountsAsMissing) {
    char padded[32] = "specialFrameReports.match.DoIP";
    const Nflog_message with_nul = Nflog_message(101).attribute(10, padded, sizeof padded).payload(pattern(4));
    const Nflog_packet good = parse(with_nul);
    EXPECT_STREQ(good.prefix, padded);

    const char exact[4] = {'a', 'b', 'c', 'd'};  // no NUL inside the value
    const Nflog_message without_nul = Nflog_message(101).attribute(10, exact, sizeof exact).payload(pattern(4));
    const Nflog_packet bad = parse(without_nul);
    EXPECT_EQ(bad.prefix, nullptr);
    EXPECT_EQ(bad.payload_length, 4U);
}

TEST_F(Parse_test, MessageOfOnlyAHeaderOrLessHasNothing) {
    const std::vector<std::uint8_t> bytes = {2, 0, 0, 101};
    for (std::uint32_t caplen : {0U, 2U, 4U}) {
        const Nflog_packet packet = parse(bytes, caplen);
        EXPECT_EQ(packet.prefix, nullptr);
        EXPECT_EQ(packet.payload, nullptr);
    }
}

TEST_F(Parse_test, GroupIsReadInNetworkOrderOnlyFromACapturedHeader) {
    const std::vector<std::uint8_t> bytes = {2, 0, 0x01, 0x02, 0, 0, 0, 0};
    for (std::uint32_t caplen : {4U, 8U}) {
        const pcap_pkthdr header = header_for(caplen, 1);
        EXPECT_EQ(nflog_group(pcap, &header, bytes.data()), 0x0102) << caplen;
    }
    for (std::uint32_t caplen : {0U, 3U}) {
        const pcap_pkthdr header = header_for(caplen, 1);
        EXPECT_EQ(nflog_group(pcap, &header, bytes.data()), 0) << caplen;
    }
    const Nflog_message message(102);
    const pcap_pkthdr header = header_for(message.size(), 1);
    EXPECT_EQ(nflog_group(pcap, &header, message.bytes().data()), 102);
}

}  // namespace
}  // namespace capture_test
