// The deployment override file (UX_COM_DEPLOYMENT) for each known service
// and for an unknown one; its only documented rejection is
// std::runtime_error. The instance strings of the configuration go through
// the same input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "com/deployment.h"

using ux::com::cpp_binding::instance_id_from_string;
using ux::com::cpp_binding::resolve_deployment;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* service : {"ksr::services::idsethernetsensor::IDSEthernetSensor",
                                "ksr::services::idsipsecuritysensor::IDSIpSecuritySensor", "unknown"}) {
        try {
            const auto deployment = resolve_deployment(service, &text);
            // The address is used as a C string later on: it must be the
            // text that was checked, with nothing hidden behind a NUL.
            if (deployment && deployment->address.find('\0') != std::string::npos) {
                std::abort();
            }
        } catch (const std::runtime_error&) {
        }
    }
    (void)instance_id_from_string(text);
    return 0;
}
