// The mount sweep of a stop: the container's own mounts are counted, every
// other mount below its content directory or showing its devices is
// unmounted, most recent first, until no pass makes progress.
// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include "controller/container/mount_sweep.h"

#include <libmount/libmount.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include "controller/container/container.h"
#include "controller/log/log.h"

namespace ql {

namespace {

// One mount that a started container is expected to have.
struct Tracked_mount {
    std::string path;
    bool must_exist;
    bool exactly_one;
    std::uint64_t devno = 0;
    std::uint64_t count = 0;
};

struct Table_unref {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct Iter_free {
    void operator()(libmnt_iter* itr) const { mnt_free_iter(itr); }
};
struct Context_free {
    void operator()(libmnt_context* ctx) const { mnt_free_context(ctx); }
};

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Unmounts one entry of the mount table (never the loop device behind it).
bool umount_table_entry(libmnt_fs* fs, const std::string& target) {
    std::unique_ptr<libmnt_context, Context_free> ctx(mnt_new_context());
    if (!ctx) {
        LOG_DEBUG("umount context creation failed");
        return false;
    }
    int result = mnt_context_set_fs(ctx.get(), fs);
    if (result != 0) {
        LOG_ERROR("mnt_context_set_fs(", target, ") returned ", result);
        return false;
    }
    result = mnt_context_enable_loopdel(ctx.get(), 0);
    if (result != 0) {
        LOG_ERROR("mnt_context_enable_loopdel() returned ", result);
        return false;
    }
    result = mnt_context_umount(ctx.get());
    const char* context_target = mnt_context_get_target(ctx.get());
    const std::string shown = context_target != nullptr ? context_target : "NULL";
    if (result != 0) {
        if (mnt_context_syscall_called(ctx.get())) {
            LOG_ERROR("umount(", shown, ") syscall status is ", mnt_context_get_syscall_errno(ctx.get()));
        }
        LOG_ERROR("mnt_context_umount(", shown, ") returned ", result);
        return false;
    }
    if (mnt_context_helper_executed(ctx.get()) && mnt_context_get_helper_status(ctx.get()) != 0) {
        LOG_ERROR("umount helper for ", shown, " terminated with exit status ",
                  mnt_context_get_helper_status(ctx.get()));
        return false;
    }
    return true;
}

}  // namespace

bool is_mount_point(const std::string& path) {
    std::unique_ptr<libmnt_table, Table_unref> table(mnt_new_table_from_file("/proc/self/mountinfo"));
    QL_CHECK(table, "failed to read /proc/self/mountinfo: ", errno);
    return mnt_table_find_target(table.get(), path.c_str(), MNT_ITER_BACKWARD) != nullptr;
}

Container::Mount_state Container::sweep_mounts() {
    Tracked_mount tracked[] = {
        {m_content_dir, true, true}, {m_rootfs_dir, true, false}, {m_data_mnt, false, false}};
    for (Tracked_mount& record : tracked) {
        std::error_code ec;
        std::string canonical = std::filesystem::canonical(record.path, ec).string();
        if (ec && (record.must_exist || ec != std::errc::no_such_file_or_directory)) {
            LOG_ERROR("got error ", ec.category().name(), ":", ec.value(), " while canonicalizing ",
                      record.path);
        }
        record.path = ec ? std::string() : canonical;
    }
    Tracked_mount& content = tracked[0];

    std::unique_ptr<libmnt_table, Table_unref> table_holder(mnt_new_table_from_file("/proc/self/mountinfo"));
    libmnt_table* table = table_holder.get();
    // Without the table the stop would go on as if nothing were mounted.
    QL_CHECK(table != nullptr, "failed to read /proc/self/mountinfo: ", errno);
    std::unique_ptr<libmnt_iter, Iter_free> itr_holder(mnt_new_iter(MNT_ITER_FORWARD));
    libmnt_iter* itr = itr_holder.get();
    QL_CHECK(itr, "");

    // Count pass: the mounts that belong to the container are taken out of the
    // table; what stays is looked at by the sweep.
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table, itr, &fs) == 0) {
        const char* root = mnt_fs_get_root(fs);
        const char* target = mnt_fs_get_target(fs);
        if (root == nullptr || std::strcmp(root, "/") != 0 || target == nullptr) {
            continue;
        }
        for (Tracked_mount& record : tracked) {
            if (!record.path.empty() && record.path == target) {
                ++record.count;
                record.devno = mnt_fs_get_devno(fs);
                mnt_table_remove_fs(table, fs);
                break;
            }
        }
    }
    for (const Tracked_mount& record : tracked) {
        if (!record.path.empty() && (record.count > 1 || (record.count == 0 && record.exactly_one))) {
            LOG_ERROR("found ", record.count, " mounts for ", record.path);
        }
    }
    Mount_state state;
    state.uses_rootfs_overlay = tracked[1].count != 0;
    state.data_mounted = tracked[2].count != 0;
    for (const Tracked_mount& record : tracked) {
        if (record.count != 0) {
            state.devices.push_back(record.devno);
        }
    }

    // Without a content directory nothing lies below it; an empty prefix would
    // otherwise claim every mount of the system.
    const std::string below_content = content.path.empty() ? std::string() : content.path + "/";
    bool progress = true;
    while (progress) {
        progress = false;
        mnt_reset_iter(itr, MNT_ITER_BACKWARD);
        while (mnt_table_next_fs(table, itr, &fs) == 0) {
            const char* target_text = mnt_fs_get_target(fs);
            if (target_text == nullptr) {
                mnt_table_remove_fs(table, fs);
                continue;
            }
            const std::string target = target_text;
            const std::uint64_t devno = mnt_fs_get_devno(fs);
            if (!below_content.empty() && starts_with(target, below_content)) {
                LOG_ERROR("bad container: ", target, " exists outside of container mount namespace");
            } else if (std::any_of(std::begin(tracked), std::end(tracked), [&](const Tracked_mount& record) {
                           return record.count >= 1 && record.devno == devno;
                       })) {
                LOG_ERROR("bad container: ", target, " still exposes container files, use --umount");
            } else {
                mnt_table_remove_fs(table, fs);
                continue;
            }
            if (umount_table_entry(fs, target)) {
                mnt_table_remove_fs(table, fs);
                progress = true;
            } else {
                LOG_ERROR("failed to umount ", target);
            }
        }
    }
    const int remaining = mnt_table_get_nents(table);
    if (remaining > 0) {
        LOG_ERROR("giving up with ", remaining, " remaining mounts since not making any progress");
    }
    return state;
}

}  // namespace ql

