#include "controller/system/filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "controller/log/log.h"
#include "controller/system/unique_fd.h"

namespace fs = std::filesystem;

namespace ql {

bool Filesystem::exists(const std::string& path) const { return fs::exists(path); }

void Filesystem::create_directory(const std::string& dir) const {
    QL_CHECK(!dir.empty(), "");

    // Walk up until a mkdir stops failing for a missing parent, remembering
    // every path that still has to be made.
    std::vector<std::string> missing;
    std::string path = dir;
    int mkdir_ret = mkdir(path.c_str(), 0755);
    while (mkdir_ret != 0 && errno == ENOENT) {
        missing.push_back(path);
        const std::string parent = fs::path(path).parent_path().string();
        if (parent.empty() || parent == path) {
            // Nothing further up to make: the shallowest path fails again below.
            break;
        }
        path = parent;
        mkdir_ret = mkdir(path.c_str(), 0755);
    }
    if (!(mkdir_ret != 0 && errno == ENOENT)) {
        QL_CHECK(0 == mkdir_ret || EEXIST == errno, "create directory ", path, " failed: ", errno);
    }
    bool existed = mkdir_ret != 0;

    while (!missing.empty()) {
        path = missing.back();
        missing.pop_back();
        mkdir_ret = mkdir(path.c_str(), 0755);
        QL_CHECK(0 == mkdir_ret || EEXIST == errno, "create directory ", path, " failed: ", errno);
        existed = mkdir_ret != 0;
    }

    if (existed) {
        QL_CHECK(fs::is_directory(dir.c_str()), "existing ", dir, " is not a directory");
    }
}

void Filesystem::create_private_directory(const std::string& dir) const {
    create_directory(dir);
    const Unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    QL_CHECK(fd, "open directory ", dir, " failed: ", errno);
    struct stat status {};
    QL_CHECK(fstat(fd.get(), &status) == 0, "stat of directory ", dir, " failed: ", errno);
    // A directory that cannot be changed (a read-only file system) cannot be
    // written to either: what is to be made in it fails on its own.
    if ((status.st_mode & 07777) != 0700 && fchmod(fd.get(), 0700) != 0) {
        LOG_WARN("make directory ", dir, " private failed: ", errno);
    }
}

}  // namespace ql
