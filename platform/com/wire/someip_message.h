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
// Every service of this binding is version 1.0.
inline constexpr std::uint8_t major_version = 1;
inline constexpr std::uint32_t minor_version = 0;

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
inline constexpr std::uint8_t e_malformed_message = 0x09;
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

// The length field counts the 8 header bytes after it and the payload.
constexpr std::uint32_t length_for(std::size_t payload_size) { return static_cast<std::uint32_t>(8 + payload_size); }
constexpr std::size_t payload_size(const Header& header) { return header.length - 8; }

void encode_header(const Header& header, std::uint8_t (&out)[header_size]);

// The header answering request: a RESPONSE carrying payload_size bytes for
// return code 0, otherwise an ERROR without payload.
Header answer_header(const Header& request, std::uint8_t return_code, std::size_t payload_size);
// The header of a notification of the event with the index.
Header notification_header(std::uint16_t service_id, std::uint16_t event_index, std::uint16_t session_id,
                           std::size_t payload_size);
// A complete answer datagram (header and, for a RESPONSE, the body).
std::vector<std::uint8_t> encode_answer(const Header& request, const std::uint8_t* body, std::size_t body_size,
                                        std::uint8_t return_code);

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
// Our offers last three cycles, so one lost offer does not make a client
// drop the service.
inline constexpr std::uint32_t offer_ttl = 3;
// Wildcards of FindService entries.
inline constexpr std::uint16_t any_service = 0xffff;
inline constexpr std::uint16_t any_instance = 0xffff;
inline constexpr std::uint8_t any_major = 0xff;

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

// The OfferService entry of a service at its UDP endpoint (ttl 0:
// StopOfferService).
Sd_entry offer_entry(std::uint16_t service_id, std::uint16_t instance_id, const Ipv4_endpoint& endpoint,
                     std::uint32_t ttl);

// A complete SD message (header and payload) carrying the entries, each with
// its endpoint option when it has one.
std::vector<std::uint8_t> encode_sd_message(std::uint16_t session_id, bool reboot,
                                            const std::vector<Sd_entry>& entries);

}  // namespace ux::com::someip
