#include "smack_label.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "controller/system/unique_fd.h"

namespace ql {
namespace {

constexpr std::size_t label_read_limit = 256;

bool is_label_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

// Reads up to limit bytes; returns the count, or -1 when the file cannot be
// opened or read.
long read_prefix(const std::string& path, char* buffer, std::size_t limit) {
    const Unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return -1;
    }
    std::size_t total = 0;
    while (total < limit) {
        ssize_t got = ::read(fd.get(), buffer + total, limit - total);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return total == 0 ? -1 : static_cast<long>(total);
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return static_cast<long>(total);
}

}  // namespace

bool smack_is_active(const Smack_interfaces& interfaces) {
    std::ifstream list(interfaces.lsm_list);
    if (list) {
        std::string module;
        while (std::getline(list, module, ',')) {
            while (!module.empty() && (module.back() == '\n' || module.back() == ' ')) {
                module.pop_back();
            }
            if (module == "smack") {
                return true;
            }
        }
        return false;
    }
    struct stat info {};
    if (::stat(interfaces.smackfs_dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return true;
    }
    // The module's own attribute answers only while the module is active.
    char probe[label_read_limit];
    return read_prefix(interfaces.smack_attr_dir + "/current", probe, sizeof(probe)) > 0;
}

Smack_label_read read_smack_label(const std::string& path) {
    Smack_label_read result;
    char buffer[label_read_limit] = {};
    long got = read_prefix(path, buffer, sizeof(buffer));
    if (got == static_cast<long>(label_read_limit)) {
        result.too_long = true;
    } else if (got > 0) {
        std::string text(buffer, static_cast<std::size_t>(got));
        result.label = text.substr(0, text.find('\0'));
    }
    return result;
}

bool is_acceptable_smack_label(const std::string& label) {
    if (label.size() == 1) {
        return label == "_" || label == "*" || label == "^";
    }
    if (label.size() < 2 || label.size() > 255 || label.front() == '-') {
        return false;
    }
    for (char c : label) {
        if (!is_label_character(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace ql
