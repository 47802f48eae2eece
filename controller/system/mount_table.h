// The mount table of this process, read once per question.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ql {

struct Mount_entry {
    std::string target;
    std::string root;     // the mounted directory inside its file system
    std::string fstype;
    std::string options;  // the file system's own options
    std::uint64_t devno = 0;
};

// "/proc/self/mountinfo" in mount order (entries without a target are left
// out); raises with an ERROR line when it cannot be read.
std::vector<Mount_entry> read_mount_table();

// Whether something is mounted at path (compared as written and in its
// canonical form); raises when the mount table cannot be read.
bool is_mount_point(const std::string& path);

}  // namespace ql
