// Walking the attributes (TLVs) of an NFLOG message: a 4-byte header
// (family, version, big-endian resource id) followed by netlink attributes,
// each a 16-bit length that includes its 4-byte header, a 16-bit type (both
// in host byte order), then the value padded to a multiple of 4 bytes.
//
// Pure functions over bytes. Only nflog_tlv_ok looks at a TLV without a
// guarantee that its header lies inside the message; it never reads past the
// bytes left. The other helpers expect a TLV that nflog_tlv_ok accepted.
// Fields are read with memcpy, so neither message nor TLV needs alignment.
#pragma once

#include <pcap/nflog.h>
#include <sys/types.h>

#include <cstdint>

namespace nflog {

constexpr int header_size = 4;      // NFLOG message header
constexpr int tlv_header_size = 4;  // length + type

// The first TLV after the message header.
const nflog_tlv_t* first_tlv(const u_char* message);
// The type field with its top (nested) bit cleared.
std::uint16_t tlv_type(const nflog_tlv_t* tlv);
// The length field, header included.
std::uint16_t tlv_length(const nflog_tlv_t* tlv);
// True when bytes_left > 0, 3 < length and length <= bytes_left. The length
// field is read only when at least a TLV header is left.
bool tlv_ok(const nflog_tlv_t* tlv, int bytes_left);
const u_char* tlv_value(const nflog_tlv_t* tlv);
// Length minus the 4-byte header (negative for a TLV nflog_tlv_ok rejects).
int tlv_value_len(const nflog_tlv_t* tlv);
// Steps over the TLV and its padding ((length + 3) & 0x1fffc) and reduces
// bytes_left by the same amount. With less than a TLV header left nothing is
// read: bytes_left becomes 0 and the TLV is returned unchanged.
const nflog_tlv_t* next_tlv(const nflog_tlv_t* tlv, int& bytes_left);
std::uint16_t net_to_host16(std::uint16_t value);

}  // namespace nflog
