#include "sensor/seams/nflog_tlv.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>

namespace nflog {
namespace {

std::uint16_t read_u16(const void* at) {
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

const u_char* bytes_of(const nflog_tlv_t* tlv) {
    return reinterpret_cast<const u_char*>(tlv);
}

}  // namespace

const nflog_tlv_t* first_tlv(const u_char* message) {
    return reinterpret_cast<const nflog_tlv_t*>(message + header_size);
}

std::uint16_t tlv_type(const nflog_tlv_t* tlv) {
    return static_cast<std::uint16_t>(read_u16(bytes_of(tlv) + offsetof(nflog_tlv_t, tlv_type)) & 0x7fffu);
}

std::uint16_t tlv_length(const nflog_tlv_t* tlv) {
    return read_u16(bytes_of(tlv) + offsetof(nflog_tlv_t, tlv_length));
}

bool tlv_ok(const nflog_tlv_t* tlv, int bytes_left) {
    // A length in 4..bytes_left needs bytes_left >= 4, so rejecting shorter
    // rests before reading changes no result and keeps the read inside.
    if (bytes_left < tlv_header_size) {
        return false;
    }
    const int length = tlv_length(tlv);
    return length > 3 && length <= bytes_left;
}

const u_char* tlv_value(const nflog_tlv_t* tlv) {
    return bytes_of(tlv) + tlv_header_size;
}

int tlv_value_len(const nflog_tlv_t* tlv) {
    return static_cast<int>(tlv_length(tlv)) - tlv_header_size;
}

const nflog_tlv_t* next_tlv(const nflog_tlv_t* tlv, int& bytes_left) {
    if (bytes_left < tlv_header_size) {
        bytes_left = 0;
        return tlv;
    }
    const int step = (static_cast<int>(tlv_length(tlv)) + 3) & 0x1fffc;
    bytes_left -= step;
    return reinterpret_cast<const nflog_tlv_t*>(bytes_of(tlv) + step);
}

std::uint16_t net_to_host16(std::uint16_t value) {
    return ntohs(value);
}

}  // namespace nflog
