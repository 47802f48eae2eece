// Container stop: the runtime first, then the processes in its files, the
// post-stop script, the rules and every mount, and the device last.
// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "controller/container/container.h"
#include "controller/container/container_lock.h"
#include "controller/container/process_scan.h"
#include "controller/log/log.h"
#include "controller/system/mount_table.h"
#include "controller/system/signal_hold.h"
#include "controller/system/unique_fd.h"

namespace ql {

namespace {

constexpr std::chrono::nanoseconds leave_directory_timeout{10'999'999'999};

struct Dir_closer {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// True when path is a symbolic link or reaches its place through one.
bool passes_symlink(const std::string& path) {
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const Unique_fd fd(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
    return !fd && errno == ELOOP;
}

}  // namespace

void Container::stop() {
    LOG_INFO("shutdown container ", m_name);
    QL_CHECK(m_fs->exists(m_container.c_str()), "container does not exist, no such file: ", m_container);
    const Signal_hold hold;
    const Unique_fd lock = lock_container(m_name);
    LOG_DEBUG("check container status");
    if (m_detached) {
        stop_runc_container();
    } else {
        const Container_status status = get_status();
        QL_CHECK(status == Container_status::DELETED || status == Container_status::STOPPED, "container ",
                 m_name, " still running, can't shutdown");
        if (status == Container_status::STOPPED) {
            wait_for_container_processes();
        }
    }

    stop_if_signalled();

    LOG_DEBUG("check for post-stop script");
    run_script(m_content_dir + "/post-stop.sh");
    stop_if_signalled();
    const bool rules_unloaded = unload_smack_rules();
    stop_if_signalled();
    for (const Mount_request& request : m_mount_requests) {
        LOG_INFO("umount ", request.target);
        // Through a symbolic link the unmount could reach any mount of the
        // system; a mount left at the real place is found by the sweep.
        if (passes_symlink(request.target)) {
            LOG_ERROR("umount target ", request.target, " refused: it is or passes a symbolic link");
            continue;
        }
        m_sys->umount(request.target, false);
    }
    stop_if_signalled();

    const Mount_state mounts = sweep_mounts();
    if (mounts.data_mounted) {
        QL_CHECK(m_sys->umount(m_data_mnt, true), "failed to umount container data image");
    }
    const bool uses_rootfs_overlay = mounts.uses_rootfs_overlay;
    QL_CHECK(remove_verity_device(uses_rootfs_overlay), "failed to release container rootfs image");
    // Every step has run; what is still there makes the stop a failure: a
    // mount elsewhere keeps the container's files (and the kernel keeps the
    // data partition's loop device for it), rules stay in the kernel.
    const bool unmounted = nothing_left_mounted(mounts.devices);
    QL_CHECK(unmounted, "container ", m_name, " stopped, but its files are still mounted");
    QL_CHECK(rules_unloaded, "container ", m_name, " stopped, but its smack rules are still loaded");
    LOG_INFO("container shutdown finished");
}

bool Container::nothing_left_mounted(const std::vector<std::uint64_t>& devices) {
    const std::string below = "/run/containers/" + m_name + "/";
    bool nothing = true;
    for (const Mount_entry& entry : read_mount_table()) {
        const bool shows_device = std::find(devices.begin(), devices.end(), entry.devno) != devices.end();
        if (shows_device || entry.target.compare(0, below.size(), below) == 0) {
            LOG_ERROR("container files are still mounted at ", entry.target);
            nothing = false;
        }
    }
    return nothing;
}


void Container::wait_for_container_processes() {
    std::error_code ec;
    const std::string canonical = std::filesystem::canonical(m_content_dir, ec).string();
    QL_CHECK(!ec, "got error ", ec.category().name(), ":", ec.value(), " while canonicalizing ",
             m_content_dir);
    const std::size_t length = canonical.size();

    // Stays the working directory for the rest of the command; it also keeps
    // this process out of the directories it unmounts.
    std::filesystem::current_path("/proc");
    std::vector<char> working_dir_buffer(length + 1);
    std::unique_ptr<DIR, Dir_closer> directory_holder(::opendir("."));
    DIR* directory = directory_holder.get();
    QL_CHECK(directory, "failed to open /proc: ", errno);

    const auto begin = std::chrono::steady_clock::now();
    bool timeout = false;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            break;
        }
        if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) || !is_pid_name(entry->d_name)) {
            continue;
        }
        const std::string pid = entry->d_name;
        const std::string link = pid + "/cwd";
        bool first_seen = true;
        for (;;) {
            const ssize_t link_length =
                ::readlink(link.c_str(), working_dir_buffer.data(), working_dir_buffer.size());
            if (link_length < 0) {
                if (errno != ENOENT) {
                    LOG_WARN("failed to determine working directory of pid ", pid, ", got error ", errno);
                }
                break;
            }
            if (!working_dir_inside(working_dir_buffer.data(), static_cast<std::size_t>(link_length),
                                    canonical)) {
                break;
            }
            if (!timeout && std::chrono::steady_clock::now() - begin <= leave_directory_timeout) {
                if (first_seen) {
                    LOG_INFO("waiting for pid ", pid, " to leave the container directory");
                }
                sleep_whole_second();
                first_seen = false;
                continue;
            }
            if (!first_seen) {
                LOG_ERROR("timeout waiting for ", pid);
            } else {
                LOG_ERROR("pid ", pid, " as well still blocks the container directory");
            }
            timeout = true;
            break;
        }
    }
    QL_CHECK(0 == errno, "failed to list /proc: ", errno);

    if (get_status() == Container_status::STOPPED) {
        QL_CHECK(!timeout, "attempting to continue would fail");
        stop_runc_container();
    }
}

}  // namespace ql
