#include "controller/system/mount_table.h"

#include <libmount/libmount.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <memory>

#include "controller/log/log.h"

namespace ql {

namespace {

struct Table_unref {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct Iter_free {
    void operator()(libmnt_iter* itr) const { mnt_free_iter(itr); }
};

std::string text_of(const char* text) { return text != nullptr ? text : std::string(); }

}  // namespace

std::vector<Mount_entry> read_mount_table() {
    const std::unique_ptr<libmnt_table, Table_unref> table(mnt_new_table_from_file("/proc/self/mountinfo"));
    QL_CHECK(table != nullptr, "failed to read /proc/self/mountinfo: ", errno);
    const std::unique_ptr<libmnt_iter, Iter_free> itr(mnt_new_iter(MNT_ITER_FORWARD));
    QL_CHECK(itr != nullptr, "");
    std::vector<Mount_entry> entries;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), itr.get(), &fs) == 0) {
        const char* target = mnt_fs_get_target(fs);
        if (target == nullptr) {
            continue;
        }
        entries.push_back(Mount_entry{target, text_of(mnt_fs_get_root(fs)), text_of(mnt_fs_get_fstype(fs)),
                                      text_of(mnt_fs_get_fs_options(fs)), mnt_fs_get_devno(fs)});
    }
    return entries;
}

bool is_mount_point(const std::string& path) {
    std::error_code ec;
    const std::string canonical = std::filesystem::weakly_canonical(path, ec).string();
    const std::vector<Mount_entry> table = read_mount_table();
    return std::any_of(table.begin(), table.end(), [&](const Mount_entry& entry) {
        return entry.target == path || (!ec && entry.target == canonical);
    });
}

}  // namespace ql
