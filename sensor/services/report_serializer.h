// The SOME/IP payload form of the report lists: a dynamic array of
// structures whose optional members are written tag-length-value, sizes
// computed before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "com/serialized_payload.h"
#include "sensor/services/report_types.h"

namespace ksr::services {

struct Serializer_config {
    std::uint32_t byte_order = 4321;  // 4321 big-endian, 1234 little-endian
    std::size_t array_length_field_size = 4;
    std::size_t string_length_field_size = 4;
    std::size_t struct_length_field_size = 4;
};

// Appends a length field of `size` bytes holding `value`. Throws
// std::invalid_argument for a size other than 0, 1, 2, 4 and
// std::overflow_error when the value does not fit.
void write_length_field(oq::com::runtime::Payload_buffer& out, const Serializer_config& config, std::size_t size,
                        std::uint64_t value);

// Length-field size implied by a TLV wire type; wire type 4 takes the
// configured size and requires the three sizes to be equal and non-zero.
std::size_t length_field_size_for_wire_type(unsigned wire_type, const Serializer_config& config);

// Append the serialized list to out.
void serialize(const std::vector<idsethernetsensor::datatypes::DT_specialFrameReports_struct>& list,
               oq::com::runtime::Payload_buffer& out, const Serializer_config& config = {});
void serialize(const std::vector<idsethernetsensor::datatypes::DT_serviceDiscoveryReports_struct>& list,
               oq::com::runtime::Payload_buffer& out, const Serializer_config& config = {});
void serialize(const std::vector<idsethernetsensor::datatypes::DT_classifierMatchReports_struct>& list,
               oq::com::runtime::Payload_buffer& out, const Serializer_config& config = {});
void serialize(const std::vector<idsethernetsensor::datatypes::DT_trafficFlowSamples_struct>& list,
               oq::com::runtime::Payload_buffer& out, const Serializer_config& config = {});
void serialize(const std::vector<idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>& list,
               oq::com::runtime::Payload_buffer& out, const Serializer_config& config = {});

// A fresh shared payload from the binding holding the serialized list.
template <typename Record>
oq::com::runtime::Shared_payload serialize_payload(const std::vector<Record>& list) {
    auto payload = ux::com::cpp_binding::get_shared_payload(24);
    serialize(list, *payload);
    return payload;
}

}  // namespace ksr::services
