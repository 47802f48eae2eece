// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include "controller/container/container_lock.h"

#include "controller/system/file_lock.h"
#include "controller/system/filesystem.h"

namespace ql {

Unique_fd lock_container(const std::string& name) {
    const std::string dir = "/run/containers/" + name;
    // Private: the image contents below it (set-user-ID programs, device
    // nodes) are the container's only.
    Filesystem().create_private_directory(dir);
    return wait_for_lock(dir + "/lock", "container " + name, true);
}

}  // namespace ql
