#include "sensor/seams/nflog_tlv.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sensor/seams/pcap_api.h"

namespace {

// Builds NFLOG messages byte by byte: header, then TLVs with padding.
class Message {
public:
    explicit Message(std::uint16_t group = 101) {
        m_bytes = {2, 0, 0, 0};
        const std::uint16_t rid = htons(group);
        std::memcpy(&m_bytes[2], &rid, 2);
    }
    Message& tlv(std::uint16_t type, const std::vector<std::uint8_t>& value, bool pad = true) {
        return raw_tlv(static_cast<std::uint16_t>(value.size() + 4), type, value, pad);
    }
    // A TLV whose length field is set freely.
    Message& raw_tlv(std::uint16_t length, std::uint16_t type, const std::vector<std::uint8_t>& value,
                     bool pad = true) {
        std::uint8_t header[4];
        std::memcpy(header, &length, 2);
        std::memcpy(header + 2, &type, 2);
        m_bytes.insert(m_bytes.end(), header, header + 4);
        m_bytes.insert(m_bytes.end(), value.begin(), value.end());
        while (pad && m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
        return *this;
    }
    Message& bytes(const std::vector<std::uint8_t>& b) {
        m_bytes.insert(m_bytes.end(), b.begin(), b.end());
        return *this;
    }
    // An exact-size heap copy, so that AddressSanitizer sees any read past it.
    std::unique_ptr<u_char[]> copy() const {
        auto p = std::make_unique<u_char[]>(m_bytes.size());
        std::memcpy(p.get(), m_bytes.data(), m_bytes.size());
        return p;
    }
    int size() const { return static_cast<int>(m_bytes.size()); }

private:
    std::vector<std::uint8_t> m_bytes;
};

struct Seen {
    std::uint16_t type;
    std::vector<std::uint8_t> value;
    bool operator==(const Seen& o) const { return type == o.type && value == o.value; }
};

// The walk the capture loop does, through the seam.
std::vector<Seen> walk(Pcap_API_Interface& api, const Message& m) {
    auto buffer = m.copy();
    std::vector<Seen> seen;
    int left = m.size() - nflog::header_size;
    for (const nflog_tlv_t* t = api.nflog_first_tlv(buffer.get()); api.nflog_tlv_ok(t, left);
         t = api.nflog_next_tlv(t, left)) {
        const u_char* v = api.nflog_tlv_value(t);
        seen.push_back({api.nflog_tlv_type(t), std::vector<std::uint8_t>(v, v + api.nflog_tlv_value_len(t))});
    }
    return seen;
}

TEST(NflogTlv, FirstTlvFollowsTheHeaderAndGroupIsBigEndian) {
    Message m(102);
    m.tlv(10, {'a', 0});
    auto b = m.copy();
    Pcap_API api;
    EXPECT_EQ(reinterpret_cast<const u_char*>(api.nflog_first_tlv(b.get())), b.get() + 4);
    std::uint16_t rid;
    std::memcpy(&rid, b.get() + 2, 2);
    EXPECT_EQ(api.net_to_host16(rid), 102);
    EXPECT_EQ(api.net_to_host16(htons(0x1234)), 0x1234);
}

TEST(NflogTlv, TypeClearsTheTopBit) {
    auto b = Message().raw_tlv(8, 0x8000 | 10, {1, 2, 3, 4}).copy();
    const nflog_tlv_t* t = nflog::first_tlv(b.get());
    EXPECT_EQ(nflog::tlv_type(t), 10);
    EXPECT_EQ(nflog::tlv_length(t), 8);
    EXPECT_EQ(nflog::tlv_value(t), b.get() + 8);
    EXPECT_EQ(nflog::tlv_value_len(t), 4);
}

TEST(NflogTlv, OkRejectsShortLongAndExhaustedAttributes) {
    for (std::uint16_t length = 0; length <= 3; ++length) {
        auto b = Message().raw_tlv(length, 9, {0, 0, 0, 0}).copy();
        EXPECT_FALSE(nflog::tlv_ok(nflog::first_tlv(b.get()), 8)) << "length " << length;
    }
    auto b = Message().raw_tlv(12, 9, {1, 2, 3, 4, 5, 6, 7, 8}).copy();
    const nflog_tlv_t* t = nflog::first_tlv(b.get());
    EXPECT_TRUE(nflog::tlv_ok(t, 12));
    EXPECT_TRUE(nflog::tlv_ok(t, 100));
    EXPECT_FALSE(nflog::tlv_ok(t, 11));  // longer than what is left
    EXPECT_FALSE(nflog::tlv_ok(t, 0));
    EXPECT_FALSE(nflog::tlv_ok(t, -1));
    EXPECT_FALSE(nflog::tlv_ok(t, -1000));
}

TEST(NflogTlv, OkNeverReadsAHeaderThatIsNotThere) {
    // Only 1..3 bytes after the NFLOG header: the length field cannot be read.
    for (int rest = 1; rest <= 3; ++rest) {
        Message m;
        m.bytes(std::vector<std::uint8_t>(rest, 0xff));
        auto b = m.copy();
        EXPECT_FALSE(nflog::tlv_ok(nflog::first_tlv(b.get()), rest));
        int left = rest;
        nflog::next_tlv(nflog::first_tlv(b.get()), left);
        EXPECT_EQ(left, 0);
    }
}

TEST(NflogTlv, NextRoundsUpToFourBytes) {
    auto b = Message().raw_tlv(5, 9, {7}).tlv(10, {'x', 0}).copy();
    const nflog_tlv_t* t = nflog::first_tlv(b.get());
    int left = 16;
    const nflog_tlv_t* n = nflog::next_tlv(t, left);
    EXPECT_EQ(reinterpret_cast<const u_char*>(n), reinterpret_cast<const u_char*>(t) + 8);
    EXPECT_EQ(left, 8);
    EXPECT_EQ(nflog::tlv_type(n), 10);
}

TEST(NflogTlv, WalkVisitsEveryAttributeOfAWellFormedMessage) {
    Pcap_API api;
    Message m;
    m.tlv(1, {0x08, 0x00, 3, 0}).tlv(9, {0x45, 0, 0, 20, 1}).tlv(10, {'p', 'r', 'e', 0}).tlv(0x8000 | 4, {});
    EXPECT_EQ(walk(api, m),
              (std::vector<Seen>{
                  {1, {0x08, 0x00, 3, 0}}, {9, {0x45, 0, 0, 20, 1}}, {10, {'p', 'r', 'e', 0}}, {4, {}}}));
}

TEST(NflogTlv, WalkStopsAtMalformedOrTruncatedAttributes) {
    Pcap_API api;
    // Zero length: the walk must stop instead of looping on the same TLV.
    EXPECT_EQ(walk(api, Message().tlv(9, {1, 2, 3, 4}).raw_tlv(0, 10, {0, 0, 0, 0})),
              (std::vector<Seen>{{9, {1, 2, 3, 4}}}));
    // Length claims more than the message holds.
    EXPECT_EQ(walk(api, Message().tlv(10, {'a', 0}).raw_tlv(200, 9, {1, 2, 3, 4})),
              (std::vector<Seen>{{10, {'a', 0}}}));
    // The last attribute is cut inside its header.
    EXPECT_EQ(walk(api, Message().tlv(10, {'a', 0}).bytes({5, 0})), (std::vector<Seen>{{10, {'a', 0}}}));
    // Unpadded last attribute that ends exactly at the message end is still read.
    EXPECT_EQ(walk(api, Message().tlv(9, {1, 2, 3, 4}).tlv(10, {'z'}, false)),
              (std::vector<Seen>{{9, {1, 2, 3, 4}}, {10, {'z'}}}));
    // A message of only the NFLOG header, or even shorter.
    EXPECT_TRUE(walk(api, Message()).empty());
    // Length 3 (shorter than its own header).
    EXPECT_TRUE(walk(api, Message().raw_tlv(3, 9, {0, 0, 0, 0})).empty());
}

TEST(NflogTlv, WalkOverEveryTruncationOfAMessageStaysInside) {
    // Cutting a valid message at each length must never read past the cut
    // (AddressSanitizer checks the exact-size copies) and must only yield
    // attributes that fit completely.
    Message full;
    full.tlv(1, {0x08, 0x00, 3, 0}).tlv(9, {0x45, 0, 0, 20, 1, 2, 3}).tlv(10, {'p', 'r', 'e', 0});
    auto whole = full.copy();
    Pcap_API api;
    for (int cut = 0; cut <= full.size(); ++cut) {
        auto b = std::make_unique<u_char[]>(static_cast<std::size_t>(std::max(cut, 4)));
        std::memcpy(b.get(), whole.get(), static_cast<std::size_t>(cut));
        int left = std::max(cut, 4) - nflog::header_size;
        int count = 0;
        for (const nflog_tlv_t* t = api.nflog_first_tlv(b.get()); api.nflog_tlv_ok(t, left);
             t = api.nflog_next_tlv(t, left)) {
            const u_char* v = api.nflog_tlv_value(t);
            ASSERT_LE(v + api.nflog_tlv_value_len(t), b.get() + std::max(cut, 4));
            ++count;
        }
        const int expected = cut >= 4 + 8 + 12 + 8 ? 3 : cut >= 4 + 8 + 11 ? 2 : cut >= 4 + 8 ? 1 : 0;
        EXPECT_EQ(count, expected) << "cut at " << cut;
    }
}

}  // namespace
