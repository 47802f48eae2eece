// File-system questions and directory creation.
#pragma once

#include <string>

namespace ql {

// Stateless; every owner keeps an instance of its own.
class Filesystem {
public:
    // True if path names an existing object of any type, following symbolic links
    // (a dangling link is missing). Failures other than a missing object or parent
    // are raised as std::filesystem::filesystem_error naming the path.
    bool exists(const std::string& path) const;

    // Creates dir and every missing parent with mode 0755 (before the umask).
    // An existing directory is accepted; throws when dir is empty, when a mkdir
    // fails for another reason, or when dir exists but is not a directory.
    // What was created before a failure stays.
    void create_directory(const std::string& dir) const;

    // Like create_directory, but dir itself (not its parents) is private:
    // set to mode 0700 (never through a symbolic link); a directory whose
    // mode cannot be changed gives a WARN line only.
    void create_private_directory(const std::string& dir) const;
};

}  // namespace ql
