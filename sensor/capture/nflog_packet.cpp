// Reading one NFLOG message: its header and the two attributes reports use.
#include "sensor/capture/nflog_packet.h"

#include <cstring>

namespace {

constexpr int nflog_header_size = 4;
constexpr std::uint16_t attribute_payload = 9;
constexpr std::uint16_t attribute_prefix = 10;

}  // namespace

Nflog_packet parse_nflog_packet(Pcap_API_Interface& pcap_api, const pcap_pkthdr* header, const u_char* message) {
    Nflog_packet packet;
    packet.capture_seconds = static_cast<std::int64_t>(header->ts.tv_sec);
    // Only the captured bytes are present in the buffer.
    int bytes_left = static_cast<int>(header->caplen) - nflog_header_size;
    if (bytes_left <= 0) {
        return packet;
    }
    for (const nflog_tlv_t* tlv = pcap_api.nflog_first_tlv(message); pcap_api.nflog_tlv_ok(tlv, bytes_left);
         tlv = pcap_api.nflog_next_tlv(tlv, bytes_left)) {
        const std::uint16_t type = pcap_api.nflog_tlv_type(tlv);
        if (type == attribute_payload) {
            packet.payload = pcap_api.nflog_tlv_value(tlv);
            packet.payload_length = static_cast<std::uint32_t>(pcap_api.nflog_tlv_value_len(tlv));
        } else if (type == attribute_prefix) {
            const u_char* value = pcap_api.nflog_tlv_value(tlv);
            const int length = pcap_api.nflog_tlv_value_len(tlv);
            // The prefix is used as a C string: an attribute without its
            // terminating NUL inside the value counts as no prefix.
            const bool terminated = length > 0 && std::memchr(value, '\0', static_cast<std::size_t>(length)) != nullptr;
            packet.prefix = terminated ? reinterpret_cast<const char*>(value) : nullptr;
        }
    }
    return packet;
}

std::uint16_t nflog_group(Pcap_API_Interface& pcap_api, const pcap_pkthdr* header, const u_char* message) {
    if (header->caplen < nflog_header_size) {
        return 0;
    }
    std::uint16_t resource_id = 0;
    std::memcpy(&resource_id, message + 2, sizeof resource_id);
    return pcap_api.net_to_host16(resource_id);
}
