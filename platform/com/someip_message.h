// SOME/IP and SOME/IP-SD wire formats: pure encoders and parsers over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ux::com::someip {

inline constexpr std::size_t header_size = 16;
inline constexpr std::uint8_t protocol_version = 1;
inline constexpr std::uint8_t interface_version = 1;
inline constexpr std::uint16_t sd_service_id = 0xffff;
inline constexpr std::uint16_t sd_method_id = 0x8100;
inline constexpr std::uint16_t event_id_base = 0x8000;

enum class Message_type : std::uint8_t {
    request = 0x00,
    request_no_return = 0x01,
    notification = 0x02,
    response = 0x80,
    error = 0x81,
};

namespace return_code {
inline constexpr std::uint8_t e_ok = 0x00;
inline constexpr std::uint8_t e_not_ok = 0x01;
inline constexpr std::uint8_t e_unknown_service = 0x02;
inline constexpr std::uint8_t e_unknown_method = 0x03;
inline constexpr std::uint8_t e_not_ready = 0x04;
inline constexpr std::uint8_t e_wrong_interface_version = 0x08;
}  // namespace return_code

struct Header {
    std::uint16_t service_id = 0;
    std::uint16_t method_id = 0;
    std::uint32_t length = 8;  // 8 + payload bytes
    std::uint16_t client_id = 0;
    std::uint16_t session_id = 0;
    std::uint8_t protocol_version = someip::protocol_version;
    std::uint8_t interface_version = someip::interface_version;
    Message_type message_type = Message_type::request;
    std::uint8_t return_code = 0;
};

void encode_header(const Header& header, std::uint8_t (&out)[header_size]);

// The header of a datagram, or nothing when the datagram is malformed
// (shorter than a header, length field disagreeing with its size, other
// protocol version).
std::optional<Header> parse_header(const std::uint8_t* data, std::size_t size);

// SOME/IP-SD entry types used here.
namespace sd_entry_type {
inline constexpr std::uint8_t find_service = 0x00;
inline constexpr std::uint8_t offer_service = 0x01;
inline constexpr std::uint8_t subscribe_eventgroup = 0x06;
inline constexpr std::uint8_t subscribe_eventgroup_ack = 0x07;
}  // namespace sd_entry_type

inline constexpr std::uint8_t sd_option_ipv4_endpoint = 0x04;
inline constexpr std::uint8_t l4_udp = 0x11;
inline constexpr std::uint32_t ttl_infinite = 0xffffff;

struct Ipv4_endpoint {
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;
    std::uint8_t protocol = 0;
    bool operator==(const Ipv4_endpoint& other) const {
        return address == other.address && port == other.port && protocol == other.protocol;
    }
};

struct Sd_entry {
    std::uint8_t type = 0;
    std::uint16_t service_id = 0;
    std::uint16_t instance_id = 0;
    std::uint8_t major_version = 0;
    std::uint32_t ttl = 0;  // 24 bits
    std::uint8_t counter = 0;  // eventgroup entries
    std::uint16_t eventgroup_id = 0;  // eventgroup entries
    std::uint32_t minor_version = 0;  // service entries
    // The first IPv4 endpoint option among the entry's options, if any.
    std::optional<Ipv4_endpoint> endpoint;
};

// Entries of an SD payload (the bytes after the SOME/IP header), or nothing
// when the payload is malformed.
std::optional<std::vector<Sd_entry>> parse_sd_payload(const std::uint8_t* data, std::size_t size);

// A complete SD message (header and payload) carrying the entries, each with
// its endpoint option when it has one.
std::vector<std::uint8_t> encode_sd_message(std::uint16_t session_id, bool reboot,
                                            const std::vector<Sd_entry>& entries);

}  // namespace ux::com::someip
