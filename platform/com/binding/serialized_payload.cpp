#include "com/binding/serialized_payload.h"

namespace ux::com::cpp_binding {

oq::com::runtime::Shared_payload get_shared_payload(std::size_t /*header_room*/) {
    return std::make_shared<oq::com::runtime::Payload_buffer>();
}

}  // namespace ux::com::cpp_binding
