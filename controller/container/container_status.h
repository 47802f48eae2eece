// What runc says about a container, reduced to what stopping it needs.
#pragma once

#include <cstdint>

namespace ql {

enum class Container_status : std::uint8_t {
    RUNNING = 0,  // runc knows it with any status but "stopped"
    STOPPED = 1,
    DELETED = 2,  // runc does not know it
};

}  // namespace ql
