#include "process_scan.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace ql {

bool working_dir_inside(const char* link, std::size_t link_length, const std::string& directory) {
    const std::size_t length = directory.size();
    if (link_length < length || std::memcmp(link, directory.data(), length) != 0) {
        return false;
    }
    return link_length == length || link[length] == '/';
}

bool is_pid_name(const char* name) {
    if (*name == '\0') {
        return false;
    }
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    errno = 0;
    unsigned long long value = std::strtoull(name, nullptr, 10);
    return errno == 0 && value <= static_cast<unsigned long long>(std::numeric_limits<int>::max());
}

}  // namespace ql

#include <time.h>

namespace ql {

void sleep_whole_second() {
    timespec remaining{1, 0};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace ql
