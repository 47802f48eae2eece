// Reading and judging the SMACK label of the calling process.
#pragma once

#include <string>

namespace ql {

// Where the kernel tells which security modules are active and what the
// process's context is. Tests point these at files of their own.
struct Smack_interfaces {
    std::string lsm_list = "/sys/kernel/security/lsm";
    std::string smackfs_dir = "/sys/fs/smackfs";
    std::string smack_attr_dir = "/proc/self/attr/smack";
    std::string current = "/proc/self/attr/current";
};

// Whether SMACK is an active security module. "/proc/self/attr/current" holds
// the context of whichever module is active (AppArmor's "unconfined", for
// example), so it is SMACK's label only when SMACK is active. Decided from the
// securityfs module list when it can be read; otherwise SMACK is active when
// it has registered its file system's mount point in sysfs or answers on its
// own attribute.
bool smack_is_active(const Smack_interfaces& interfaces);

struct Smack_label_read {
    std::string label;  // text up to the first NUL; empty when nothing was read
    bool too_long = false;  // the read filled the whole 256-byte buffer
};

// Reads at most 256 bytes of path; a file that cannot be opened or read gives
// an empty label.
Smack_label_read read_smack_label(const std::string& path);

// 2 to 255 ASCII letters, digits, '_' or '-' with no leading '-', or exactly
// one of '_', '*', '^'. Nothing is trimmed.
bool is_acceptable_smack_label(const std::string& label);

}  // namespace ql
