// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include "controller/container/container_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <cerrno>
#include <chrono>

#include "controller/log/log.h"
#include "controller/system/filesystem.h"

namespace ql {

Unique_fd lock_container(const std::string& name) {
    const std::string dir = "/run/containers/" + name;
    Filesystem().create_directory(dir);
    const std::string path = dir + "/lock";
    Unique_fd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    QL_CHECK(lock, "open container lock ", path, " failed: ", errno);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool waiting_logged = false;
    for (;;) {
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
            return lock;
        }
        QL_CHECK(errno == EWOULDBLOCK || errno == EINTR, "lock ", path, " failed: ", errno);
        if (!waiting_logged) {
            LOG_INFO("waiting for another quillon working on container ", name);
            waiting_logged = true;
        }
        const bool within_limit = std::chrono::steady_clock::now() < deadline;
        QL_CHECK(within_limit, "container ", name, " is still locked by another quillon after 10 s");
        const timespec pause{0, 100'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace ql
