// The mount sweep of a stop: the container's own mounts are counted, every
// other mount below its content directory or showing its devices is
// unmounted, most recent first, until no pass makes progress.
// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

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
#include <vector>

#include "controller/container/container.h"
#include "controller/log/log.h"
#include "controller/system/mount_table.h"

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

struct Fs_unref {
    void operator()(libmnt_fs* fs) const { mnt_unref_fs(fs); }
};
struct Context_free {
    void operator()(libmnt_context* ctx) const { mnt_free_context(ctx); }
};

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Unmounts one entry of the mount table (never the loop device behind it).
bool umount_table_entry(const std::string& target) {
    std::unique_ptr<libmnt_context, Context_free> ctx(mnt_new_context());
    const std::unique_ptr<libmnt_fs, Fs_unref> fs(mnt_new_fs());
    if (!ctx || !fs) {
        LOG_DEBUG("umount context creation failed");
        return false;
    }
    mnt_fs_set_target(fs.get(), target.c_str());
    int result = mnt_context_set_fs(ctx.get(), fs.get());
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

    // Without the table the stop would go on as if nothing were mounted.
    std::vector<Mount_entry> table = read_mount_table();

    // Count pass: the mounts that belong to the container are taken out of the
    // table; what stays is looked at by the sweep.
    std::vector<Mount_entry> rest;
    for (Mount_entry& entry : table) {
        Tracked_mount* own = nullptr;
        if (entry.root == "/") {
            for (Tracked_mount& record : tracked) {
                if (!record.path.empty() && record.path == entry.target) {
                    own = &record;
                    break;
                }
            }
        }
        if (own != nullptr) {
            ++own->count;
            own->devno = entry.devno;
        } else {
            rest.push_back(std::move(entry));
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
        // Most recent first.
        for (std::size_t index = rest.size(); index-- > 0;) {
            const std::string target = rest[index].target;
            const std::uint64_t devno = rest[index].devno;
            if (!below_content.empty() && starts_with(target, below_content)) {
                LOG_ERROR("bad container: ", target, " exists outside of container mount namespace");
            } else if (std::any_of(std::begin(tracked), std::end(tracked), [&](const Tracked_mount& record) {
                           return record.count >= 1 && record.devno == devno;
                       })) {
                LOG_ERROR("bad container: ", target, " still exposes container files, use --umount");
            } else {
                rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(index));
                continue;
            }
            if (umount_table_entry(target)) {
                rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(index));
                progress = true;
            } else {
                LOG_ERROR("failed to umount ", target);
            }
        }
    }
    const std::size_t remaining = rest.size();
    if (remaining > 0) {
        LOG_ERROR("giving up with ", remaining, " remaining mounts since not making any progress");
    }
    return state;
}

}  // namespace ql

