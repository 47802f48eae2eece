// One packet as the netfilter log delivered it. The pointers point into the
// capture library's receive buffer and are valid only inside the packet
// callback; whatever must outlive it is copied.
#pragma once

#include <cstdint>

#include "sensor/seams/pcap_api.h"

struct Nflog_packet {
    // The packet as logged, starting with its network header, or null.
    const std::uint8_t* payload = nullptr;
    // The log prefix of the rule, NUL-terminated inside the message, or null.
    const char* prefix = nullptr;
    std::uint32_t payload_length = 0;
    std::int64_t capture_seconds = 0;
};

// Splits one NFLOG message into payload and prefix; reads only the captured
// bytes.
Nflog_packet parse_nflog_packet(Pcap_API_Interface& pcap_api, const pcap_pkthdr* header, const u_char* message);

// The group the message was logged to; 0 when not even its header was captured.
std::uint16_t nflog_group(Pcap_API_Interface& pcap_api, const pcap_pkthdr* header, const u_char* message);
