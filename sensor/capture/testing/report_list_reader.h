// Reads a serialized report list back into its members, for checks against
// what the sensor published. Members carry no names on the wire, so a record
// is the sequence of its present members in declaration order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capture_kernel {

struct Wire_member {
    unsigned wire_type = 0;
    std::uint64_t number = 0;          // wire types 1 to 3
    std::vector<std::uint8_t> bytes;   // wire type 7
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

using Wire_record = std::vector<Wire_member>;

// Nothing when the bytes are not a well-formed list.
std::optional<std::vector<Wire_record>> read_report_list(const std::vector<std::uint8_t>& payload);

}  // namespace capture_kernel
