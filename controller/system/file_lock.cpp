#include "controller/system/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <cerrno>
#include <chrono>

#include "controller/log/log.h"

namespace ql {

Unique_fd wait_for_lock(const std::string& path, const std::string& what, bool exclusive) {
    Unique_fd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    QL_CHECK(lock, "open ", what, " lock ", path, " failed: ", errno);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool waiting_logged = false;
    for (;;) {
        if (::flock(lock.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
            return lock;
        }
        QL_CHECK(errno == EWOULDBLOCK || errno == EINTR, "lock ", path, " failed: ", errno);
        if (!waiting_logged) {
            LOG_INFO("waiting for another quillon working on ", what);
            waiting_logged = true;
        }
        const bool within_limit = std::chrono::steady_clock::now() < deadline;
        QL_CHECK(within_limit, what, " is still locked by another quillon after 10 s");
        const timespec pause{0, 100'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace ql
