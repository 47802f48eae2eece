// Container start: a straight line of steps, each returning the owner that
// undoes it, then the hand-over to the runtime.
// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "controller/container/config.h"
#include "controller/container/container.h"
#include "controller/container/container_lock.h"
#include "controller/container/meta_config.h"
#include "controller/log/log.h"
#include "controller/system/signal_hold.h"
#include "controller/system/unique_fd.h"

namespace ql {

namespace {

const std::string data_partition_dir = "/data/containerdata";
// A formatter that has not finished a small partition after this is stuck.
constexpr int mkfs_timeout_seconds = 120;
// Creating a container takes runc a few seconds even on a slow machine.
constexpr int runc_run_timeout_seconds = 120;
// Scripts may do real work; one that runs longer than this has hung.
constexpr int script_timeout_seconds = 120;

// Makes a directory the working directory and returns to the previous one
// when it goes: if handing the process over fails, the content directory must
// not be kept busy by this process while the start is rolled back.
class Working_dir_change {
public:
    explicit Working_dir_change(const std::string& dir)
        : m_previous(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        const int chdir_ret = ::chdir(dir.c_str());
        if (chdir_ret != 0) {
            m_previous.reset();
        }
        QL_CHECK(chdir_ret == 0, "change working directory to ", dir, " failed: ", errno);
    }
    ~Working_dir_change() {
        if (m_previous) {
            const int saved = errno;
            if (::fchdir(m_previous.get()) != 0) {
                LOG_WARN("failed to return to the previous working directory: ", errno);
            }
            errno = saved;
        }
    }
    Working_dir_change(const Working_dir_change&) = delete;
    Working_dir_change& operator=(const Working_dir_change&) = delete;

private:
    Unique_fd m_previous;
};

}  // namespace

Mount_owner::~Mount_owner() {
    if (m_sys != nullptr) {
        m_sys->umount(m_target, m_delete_loop);
    }
}

Smack_rules::~Smack_rules() {
    if (m_container != nullptr) {
        try {
            m_container->unload_smack_rules();
        } catch (const std::exception& error) {
            LOG_ERROR("rollback of smack rules failed: ", error.what());
        }
    }
}

Runc_container::~Runc_container() {
    if (m_container != nullptr) {
        try {
            m_container->stop_runc_container();
        } catch (const std::exception& error) {
            LOG_ERROR("rollback of the runc container failed: ", error.what());
        }
    }
}

Bind_mounts::~Bind_mounts() {
    while (!m_targets.empty()) {
        const std::string target = std::move(m_targets.back());
        m_targets.pop_back();
        LOG_INFO("umount ", target);
        m_sys->umount(target, false);
    }
}

void Container::start(const char* fstype) {
    LOG_INFO("setup container ", m_name);
    QL_CHECK(m_fs->exists(m_container.c_str()), "container does not exist, no such file: ", m_container);

    // Stop requests wait for the running step; the owners below then undo
    // the completed ones (last first) when the check after it raises.
    const Signal_hold hold;
    const Unique_fd lock = lock_container(m_name);
    // A second start must not touch what the first one set up: it fails
    // before it owns anything.
    const bool already_started = is_started();
    QL_CHECK(!already_started, "container ", m_name, " is already started");
    stop_if_signalled();

    Image_mount image = mount_rootfs_image(fstype);
    stop_if_signalled();
    Mount_owner data_partition = setup_data_partition();
    stop_if_signalled();
    Smack_rules rules = load_smack_rules();
    stop_if_signalled();
    LOG_DEBUG("check for pre-start script");
    run_script(m_content_dir + "/pre-start.sh");
    stop_if_signalled();
    Bind_mounts binds = make_bind_mounts();
    LOG_INFO("container setup finished");

    if (!m_fs->exists(m_runtime_config)) {
        log_marker("FINISHEDSTARTUP", m_name);
        binds.release();
        rules.release();
        data_partition.release();
        image.release();
        return;
    }

    log_marker("STARTRUNC", m_name);
    LOG_INFO("run container");
    const char* runc_run_argv[] = {"runc", "run", m_name.c_str(), m_detached ? "--detach" : nullptr, nullptr};
    if (m_detached) {
        // runc returns once the container runs: it is waited for under the
        // lock and the held stop requests, and the start is kept only when it
        // succeeded and nobody asked to stop meanwhile. A container runc has
        // made (even half) goes again in the rollback.
        Runc_container created(*this);
        // runc reads "config.json" from its working directory.
        const int run_ret = m_sys->command(runc_run_argv, nullptr, m_content_dir, runc_run_timeout_seconds,
                                           System::shares_output);
        QL_CHECK(run_ret == 0, "unexpected runc return code: ", run_ret);
        stop_if_signalled();
        created.release();
        binds.release();
        rules.release();
        data_partition.release();
        image.release();
        return;
    }
    Working_dir_change in_content(m_content_dir);
    // The last chance for a stop request to roll back; one that comes later
    // stays blocked across the exec and is runc's to handle.
    stop_if_signalled();
    QL_CHECK(m_sys->execvp(runc_run_argv[0], runc_run_argv) > 0, "execute runc failed: ", errno);
}

namespace {

// path opened as a location only (O_PATH) from dir_fd under the resolve rules.
Unique_fd open_resolved(int dir_fd, const std::string& path, std::uint64_t resolve) {
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = resolve;
    return Unique_fd(static_cast<int>(::syscall(SYS_openat2, dir_fd, path.c_str(), &how, sizeof how)));
}

bool below(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() + 1 && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

}  // namespace

Bind_mounts Container::make_bind_mounts() {
    Bind_mounts binds(*m_sys);
    for (const Mount_request& request : m_mount_requests) {
        std::string source = request.source;
        // An "--umount" entry has no source and cannot be bind mounted.
        if (source.at(0) != '/') {
            source = m_content_dir + "/" + source;
        }
        LOG_INFO("bind mount ", source, " to ", request.target);

        // The source is resolved beneath the directory it names (content or
        // data partition): neither "../" nor a symbolic link planted in the
        // writable data partition leads out of it.
        const std::string& root = below(source, m_data_mnt) ? m_data_mnt : m_content_dir;
        const bool inside = below(source, root);
        QL_CHECK(inside, "bind mount source ", source, " lies outside the container directories");
        const Unique_fd root_fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        QL_CHECK(root_fd, "open ", root, " failed: ", errno);
        const Unique_fd source_fd = open_resolved(root_fd.get(), source.substr(root.size() + 1),
                                                  RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
        QL_CHECK(source_fd, "bind mount source ", source, " refused: ", errno);
        // No symbolic link anywhere in the target: it names a place on the
        // system root file system, fixed by the caller.
        const Unique_fd target_fd =
            open_resolved(AT_FDCWD, request.target, RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
        QL_CHECK(target_fd, "bind mount target ", request.target, " refused: ", errno);

        m_sys->bind_mount(source_fd.get(), target_fd.get(), request.target);
        binds.add(request.target);
        stop_if_signalled();
    }
    return binds;
}

Mount_owner Container::setup_data_partition() {
    const std::string config_path = m_content_dir + "/" + "meta.sh";
    if (!m_fs->exists(config_path)) {
        return Mount_owner();
    }
    LOG_INFO("read container config");
    LOG_DEBUG("open container config file: ", config_path);
    Unique_file config_file(std::fopen(config_path.c_str(), "r"));
    QL_CHECK(config_file != nullptr, "open container config failed: ", errno);
    // One byte stays zero, so the text always ends inside the buffer.
    char buffer[1024] = {};
    const std::size_t read_bytes = std::fread(buffer, 1, sizeof(buffer) - 1, config_file.get());
    config_file.reset();

    const std::optional<unsigned long long> configured_size =
        data_partition_size_mb(std::string(buffer, ::strnlen(buffer, read_bytes)));
    if (!configured_size) {
        return Mount_owner();
    }
    const unsigned long long size_mb = *configured_size;
    // The size in bytes must fit a file offset, or the sparse file would get a
    // wrapped-around length.
    QL_CHECK(size_mb <= max_data_size_mb, "container data partition size too large: ", size_mb,
             " MB, at most ", max_data_size_mb, " MB fit a file offset");

    LOG_DEBUG("check container data partition");
    const std::string image = data_partition_dir + "/" + m_name;
    if (m_fs->exists(image)) {
        // Used unchanged, whatever size it has.
        LOG_DEBUG("container data partition image exists: ", image);
    } else {
        create_data_partition(image, size_mb);
    }

    LOG_INFO("mount data partition image");
    const std::string label = check_smack_label();
    std::string options = "data=journal";
    if (!label.empty()) {
        options += ",smackfsroot=" + label;
    }
    LOG_DEBUG("create mount point: ", m_data_mnt);
    m_fs->create_directory(m_data_mnt);
    m_sys->mount(image, m_data_mnt, MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME, options.c_str(), nullptr);
    log_marker("MOUNTED_DATA", m_name);
    return Mount_owner(*m_sys, m_data_mnt, true);
}

void Container::create_data_partition(const std::string& image, unsigned long long size_mb) {
    LOG_INFO("create container data partition");
    LOG_DEBUG("create data directory: ", data_partition_dir);
    m_fs->create_private_directory(data_partition_dir);

    // Formatted under a temporary name that no container name can produce
    // (names begin with a letter or digit): the final name exists only once
    // the file system is complete. A leftover of a crashed start is ours.
    const std::string temporary = data_partition_dir + "/." + m_name + ".tmp";
    LOG_DEBUG("create data partition image: ", temporary, " size (MB): ", size_mb);
    ::unlink(temporary.c_str());
    Unique_fd data_file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!data_file) {
        check_failed("data_file != nullptr", QL_SOURCE_FILE, __LINE__,
                     detail::concat("open data image failed: ", errno));
    }
    const off_t last_byte = static_cast<off_t>(size_mb << 20) - 1;
    bool written = ::pwrite(data_file.get(), "", 1, last_byte) == 1;
    int write_errno = errno;
    if (::close(data_file.release()) != 0 && written) {
        written = false;
        write_errno = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        errno = write_errno;
    }
    QL_CHECK(written, "write data image failed: ", errno);

    Config<Filesystem> config(m_fs.get());
    std::string owner_option;
    if (config.read_process_user(m_runtime_config) && config.uid >= 0 && config.gid >= 0) {
        owner_option = "-Eroot_owner=" + std::to_string(config.uid) + ":" + std::to_string(config.gid);
        LOG_DEBUG("setting ext4 ownership options to: ", owner_option);
    }

    LOG_INFO("format data partition image");
    const char* mkfs_argv[] = {"mkfs.ext4", temporary.c_str(),
                               owner_option.empty() ? nullptr : owner_option.c_str(), nullptr};
    const int mkfs_ret = m_sys->command(mkfs_argv, nullptr, std::string(), mkfs_timeout_seconds);
    if (mkfs_ret != 0) {
        std::remove(temporary.c_str());
    }
    QL_CHECK(mkfs_ret == 0, "unexpected data image format return code: ", mkfs_ret);

    const int mv_ret = std::rename(temporary.c_str(), image.c_str());
    QL_CHECK(mv_ret == 0, "unexpected data image rename return code: ", mv_ret);
}

void Container::run_script(const std::string& path) {
    if (!m_fs->exists(path)) {
        LOG_WARN("run script failed, no such file: ", path);
        return;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IXUSR) == 0) {
        LOG_WARN("run script failed, not executable: ", path);
        return;
    }
    LOG_DEBUG("run script: ", path);
    const char* script_argv[] = {path.c_str(), nullptr};
    // In its own process group under a time limit; a stop request ends it,
    // and the caller's next check then undoes the steps.
    const int status = m_sys->command(script_argv, nullptr, m_container_dir, script_timeout_seconds,
                                      System::ends_on_stop_request);
    if (status != 0) {
        LOG_WARN("unexpected script return code: ", status);
    }
}


}  // namespace ql
