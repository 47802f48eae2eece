// One packet as the netfilter log delivered it. The pointers point into the
// capture library's receive buffer and are valid only inside the packet
// callback; whatever must outlive it is copied.
#pragma once

#include <cstdint>

struct Nflog_packet {
    // The packet as logged, starting with its network header, or null.
    const std::uint8_t* payload = nullptr;
    // The log prefix of the rule, NUL-terminated inside the message, or null.
    const char* prefix = nullptr;
    std::uint32_t payload_length = 0;
    std::int64_t capture_seconds = 0;
};
