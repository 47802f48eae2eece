// What "runc state <name>" prints: only its top-level "status" is used.
#include <cstddef>
#include <cstdint>
#include <string>

#include "controller/container/status_getter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)ql::runc_state_status(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
