// Payload buffers handed between the serializer, the events and the transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace oq::com::runtime {

using Payload_buffer = std::vector<std::uint8_t>;
using Shared_payload = std::shared_ptr<Payload_buffer>;

// One serialized form of an event value; format 0 is the SOME/IP form.
struct Serialized_payload {
    std::uint32_t format = 0;
    Shared_payload data;
};

}  // namespace oq::com::runtime

namespace ux::com::cpp_binding {

// A fresh, empty buffer to append a payload to. header_room is the room the
// caller leaves for a message header in front of the payload; this binding
// sends the header from its own storage, so the buffer stays empty and no
// storage is allocated until the caller reserves or appends.
oq::com::runtime::Shared_payload get_shared_payload(std::size_t header_room);

}  // namespace ux::com::cpp_binding
