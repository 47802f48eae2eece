#include "controller/container/container.h"

#include <dirent.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "controller/container/config.h"
#include "controller/container/meta_config.h"
#include "controller/container/process_scan.h"
#include "controller/container/start_rollback.h"
#include "controller/container/status_getter.h"
#include "controller/log/log.h"
#include "controller/verity/baserootfs.h"
#include "controller/verity/trailer.h"

namespace ql {

namespace {

const std::string containers_target = "/containers/target";
const std::string run_containers = "/run/containers/";

// Unmounts a mount made during the image mount when a later step fails, so
// that the device under it can be removed.
class Mount_holder {
public:
    Mount_holder(System& sys, std::string target) : m_sys(sys), m_target(std::move(target)) {}
    ~Mount_holder() {
        if (!m_released) {
            m_sys.umount(m_target, false);
        }
    }
    Mount_holder(const Mount_holder&) = delete;
    Mount_holder& operator=(const Mount_holder&) = delete;
    void release() { m_released = true; }

private:
    System& m_sys;
    std::string m_target;
    bool m_released = false;
};

}  // namespace

Container::Container(std::string name, std::vector<Mount_request> mount_requests, bool starting,
                     bool detached)
    : m_name(std::move(name)),
      m_detached(detached),
      m_mount_requests(std::move(mount_requests)),
      m_sys(std::make_unique<System>()),
      m_fs(std::make_unique<Filesystem>()),
      m_xz_image(containers_target + "/" + m_name + "/" + m_name + ".rootfs.squashfs-xz-dmverity"),
      m_lzo_image(containers_target + "/" + m_name + "/" + m_name + ".rootfs.squashfs-lzo-dmverity"),
      m_container(m_fs->exists(m_lzo_image) ? m_lzo_image : m_xz_image),
      m_container_dir(containers_target + "/" + m_name),
      m_content_dir(run_containers + m_name + "/content"),
      m_rootfs_dir(run_containers + m_name + "/content/rootfs"),
      m_runtime_config(run_containers + m_name + "/content/config.json"),
      m_data_mnt(run_containers + m_name + "/data"),
      m_verity(std::make_unique<Verity>(m_name, m_container)) {
    log_marker(starting ? "STARTING" : "STOPPING", m_name);
}

Container::~Container() = default;

bool Container::mount_rootfs_image(bool& uses_rootfs_overlay, const char* fstype) {
    uses_rootfs_overlay = false;
    LOG_DEBUG("open container file: ", m_container);

    const std::uintmax_t size = std::filesystem::file_size(m_container);
    LOG_DEBUG("container size: ", size);
    const std::int64_t offset = trailer_offset(size);
    QL_CHECK(offset > 0, "container directory corruption detected");
    LOG_DEBUG("metadata offset: ", offset);
    Image_trailer trailer;
    {
        File cont_file(std::fopen(m_container.c_str(), "r"));
        QL_CHECK(cont_file != nullptr, "open container failed: ", errno);
        read_trailer(cont_file.get(), offset, trailer);
    }

    LOG_INFO("veritysetup container");
    const std::string device = m_verity->setup(container_key_file, trailer.meta, Image_trailer::meta_size,
                                               trailer.sig, Image_trailer::sig_size);
    Verity_device device_holder(*m_verity);

    LOG_INFO("mount container device");
    LOG_DEBUG("create mount point: ", m_content_dir);
    m_fs->create_directory(m_content_dir);
    log_marker("MOUNT_START", m_name);
    m_sys->mount(device, m_content_dir, MS_RDONLY, nullptr, fstype);
    // Declared after the device holder: a failure unmounts the content before
    // the device is removed, which would otherwise be refused as busy.
    Mount_holder content_mount(*m_sys, m_content_dir);

    std::unique_ptr<Mount_holder> overlay_mount;
    if (m_fs->exists(base_rootfs_dir)) {
        LOG_DEBUG("base rootfs available, performing overlay mount");
        // The rootfs directory is both the target and the upper lower layer:
        // the container's files hide the base's.
        const std::string options = std::string("lowerdir=") + m_rootfs_dir + ":" + base_rootfs_dir;
        m_sys->mount(device, m_rootfs_dir, MS_RDONLY, options.c_str(), "overlay");
        overlay_mount = std::make_unique<Mount_holder>(*m_sys, m_rootfs_dir);
        uses_rootfs_overlay = true;
    }

    log_marker("MOUNTED_CONTENT", m_name);
    if (overlay_mount) {
        overlay_mount->release();
    }
    content_mount.release();
    device_holder.release();
    return true;
}

bool Container::remove_verity_device(bool uses_rootfs_overlay) {
    LOG_DEBUG("remove device-mapper: ", m_name);
    if (uses_rootfs_overlay) {
        m_sys->umount(m_rootfs_dir, false);
    }
    m_sys->umount(m_content_dir, false);
    return m_verity->remove();
}

// ---------------------------------------------------------------------------
// Container start

namespace {

const std::string data_partition_dir = "/data/containerdata";
const char* const smackload = "/usr/bin/smackload";

// Makes a directory the working directory and returns to the previous one
// when it goes: if handing the process over fails, the content directory must
// not be kept busy by this process while the start is rolled back.
class Working_dir_change {
public:
    explicit Working_dir_change(const std::string& dir)
        : m_previous(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        const int chdir_ret = ::chdir(dir.c_str());
        if (chdir_ret != 0 && m_previous >= 0) {
            ::close(m_previous);
        }
        QL_CHECK(chdir_ret == 0, "change working directory to ", dir, " failed: ", errno);
    }
    ~Working_dir_change() {
        if (m_previous >= 0) {
            const int saved = errno;
            if (::fchdir(m_previous) != 0) {
                LOG_WARN("failed to return to the previous working directory: ", errno);
            }
            ::close(m_previous);
            errno = saved;
        }
    }
    Working_dir_change(const Working_dir_change&) = delete;
    Working_dir_change& operator=(const Working_dir_change&) = delete;

private:
    int m_previous;
};

}  // namespace

void Container::start(const char* fstype) {
    LOG_INFO("setup container ", m_name);
    QL_CHECK(m_fs->exists(m_container.c_str()), "container does not exist, no such file: ", m_container);

    Start_rollback rollback(
        Start_undo{[this](const std::string& target) {
                       LOG_INFO("umount ", target);
                       m_sys->umount(target, false);
                   },
                   [this] { m_sys->umount(m_data_mnt, true); }, [this] { unload_smack_rules(); },
                   [this](bool uses_rootfs_overlay) { remove_verity_device(uses_rootfs_overlay); }});

    bool uses_rootfs_overlay = false;
    mount_rootfs_image(uses_rootfs_overlay, fstype);
    rollback.image_mounted(uses_rootfs_overlay);

    if (setup_data_partition()) {
        rollback.data_partition_mounted();
    }

    load_smack_rules();
    rollback.smack_rules_loaded();

    LOG_DEBUG("check for pre-start script");
    run_script(m_content_dir + "/pre-start.sh");

    for (const Mount_request& request : m_mount_requests) {
        std::string source = request.source;
        // An "--umount" entry has no source and cannot be bind mounted.
        if (source.at(0) != '/') {
            source = m_content_dir + "/" + source;
        }
        LOG_INFO("bind mount ", source, " to ", request.target);
        m_sys->mount(source, request.target, MS_BIND, nullptr, nullptr);
        rollback.bind_mounted(request.target);
    }
    LOG_INFO("container setup finished");

    if (!m_fs->exists(m_runtime_config)) {
        log_marker("FINISHEDSTARTUP", m_name);
        rollback.release();
        return;
    }

    log_marker("STARTRUNC", m_name);
    LOG_INFO("run container");
    // runc reads "config.json" from its working directory.
    Working_dir_change in_content(m_content_dir);
    const char* runc_run_argv[] = {"runc", "run", m_name.c_str(), m_detached ? "--detach" : nullptr, nullptr};
    QL_CHECK(m_sys->execvp(runc_run_argv[0], runc_run_argv) > 0, "execute runc failed: ", errno);
}

bool Container::setup_data_partition() {
    const std::string config_path = m_content_dir + "/" + "meta.sh";
    if (!m_fs->exists(config_path)) {
        return false;
    }
    LOG_INFO("read container config");
    LOG_DEBUG("open container config file: ", config_path);
    std::FILE* config_file = std::fopen(config_path.c_str(), "r");
    QL_CHECK(config_file != nullptr, "open container config failed: ", errno);
    // One byte stays zero, so the text always ends inside the buffer.
    char buffer[1024] = {};
    const std::size_t read_bytes = std::fread(buffer, 1, sizeof(buffer) - 1, config_file);
    std::fclose(config_file);

    const std::optional<unsigned long long> configured_size =
        data_partition_size_mb(std::string(buffer, ::strnlen(buffer, read_bytes)));
    if (!configured_size) {
        return false;
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
    return true;
}

void Container::create_data_partition(const std::string& image, unsigned long long size_mb) {
    LOG_INFO("create container data partition");
    LOG_DEBUG("create data directory: ", data_partition_dir);
    m_fs->create_directory(data_partition_dir);

    // Formatted under a temporary name: the final name exists only once the
    // file system is complete.
    const std::string temporary = image + ".tmp";
    LOG_DEBUG("create data partition image: ", temporary, " size (MB): ", size_mb);
    std::FILE* data_file = std::fopen(temporary.c_str(), "w");
    QL_CHECK(data_file != nullptr, "open data image failed: ", errno);
    const off_t last_byte = static_cast<off_t>(size_mb << 20) - 1;
    bool written = ::fseeko(data_file, last_byte, SEEK_SET) == 0 && std::fputc(0, data_file) != EOF;
    int write_errno = errno;
    if (std::fclose(data_file) != 0 && written) {
        written = false;
        write_errno = errno;
    }
    if (!written) {
        std::remove(temporary.c_str());
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
    const int mkfs_ret = m_sys->command(mkfs_argv, nullptr);
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
    const int status = m_sys->command(script_argv, nullptr, m_container_dir);
    if (status != 0) {
        LOG_WARN("unexpected script return code: ", status);
    }
}

// ---------------------------------------------------------------------------
// Runtime state

Container_status Container::get_status() {
    const char* argv[] = {"runc", "state", m_name.c_str(), nullptr};
    std::string runc_list_str;
    const int code = m_sys->command(argv, &runc_list_str);
    if (code == 0) {
        Status_getter sax_handler;
        sax_handler.m_container_status = runc_state_status(runc_list_str);
        QL_CHECK(!sax_handler.m_container_status.empty(),
                 "could not parse runc list output: ", runc_list_str);
        LOG_DEBUG(m_name, " status: ", sax_handler.m_container_status);
        return sax_handler.m_container_status == "stopped" ? Container_status::STOPPED
                                                           : Container_status::RUNNING;
    }
    QL_CHECK(runc_list_str.find(" does not exist") != std::string::npos,
             "unexpected runc return code: ", code);
    LOG_DEBUG(m_name, " status: deleted");
    return Container_status::DELETED;
}

// ---------------------------------------------------------------------------
// SMACK

bool Container::load_smack_rules() {
    const std::string rules = m_content_dir + "/smack-rules";
    if (!m_fs->exists(rules)) {
        LOG_DEBUG(m_name, " No smack rule file: ", rules);
        return true;
    }
    log_marker("SMACK_LOAD", m_name);
    const char* argv[] = {smackload, rules.c_str(), nullptr};
    QL_CHECK(m_sys->command(argv, nullptr) == 0, m_name, " loading smack rules failed: ", errno);
    return true;
}

void Container::unload_smack_rules() {
    const std::string rules = m_content_dir + "/smack-rules";
    if (!m_fs->exists(rules)) {
        LOG_DEBUG(m_name, " No smack rule file for unloading: ", rules);
        return;
    }
    log_marker("SMACK_UNLOAD", m_name);
    const char* argv[] = {smackload, "-c", rules.c_str(), nullptr};
    if (m_sys->command(argv, nullptr) != 0) {
        LOG_ERROR(m_name, " unloading smack rules failed: ", errno);
    }
}

std::string Container::check_smack_label(const Smack_interfaces& interfaces) const {
    std::string label;
    bool has_invalid_label = false;
    // Where another module is active, "current" holds its context, not a SMACK label.
    if (smack_is_active(interfaces)) {
        const Smack_label_read read = read_smack_label(interfaces.current);
        label = read.label;
        has_invalid_label = read.too_long || (!label.empty() && !is_acceptable_smack_label(label));
    }
    QL_CHECK((has_invalid_label == false), "SMACK label: ", label,
             " is incorrect. Allowed characters: ASCII letters, digits, '_' and '-' (hyphen not "
             "allowed at first position). Allowed length: 2-255 or single underscore. "
             "Single-character labels: \"*\" and \"^\" are also allowed but not recommended.");
    return label;
}

// ---------------------------------------------------------------------------
// Container stop

namespace {

constexpr std::chrono::nanoseconds runc_stop_timeout{9'999'999'999};
constexpr std::chrono::nanoseconds leave_directory_timeout{10'999'999'999};

// One mount that a started container is expected to have.
struct Tracked_mount {
    std::string path;
    bool must_exist;
    bool exactly_one;
    std::uint64_t devno = 0;
    std::uint64_t count = 0;
};

struct Dir_closer {
    void operator()(DIR* directory) const { ::closedir(directory); }
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

void Container::stop() {
    LOG_INFO("shutdown container ", m_name);
    QL_CHECK(m_fs->exists(m_container.c_str()), "container does not exist, no such file: ", m_container);
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

    LOG_DEBUG("check for post-stop script");
    run_script(m_content_dir + "/post-stop.sh");
    unload_smack_rules();
    for (const Mount_request& request : m_mount_requests) {
        LOG_INFO("umount ", request.target);
        m_sys->umount(request.target, false);
    }

    bool data_mounted = false;
    bool uses_rootfs_overlay = false;
    sweep_mounts(data_mounted, uses_rootfs_overlay);
    if (data_mounted) {
        QL_CHECK(m_sys->umount(m_data_mnt, true), "failed to umount container data image");
    }
    QL_CHECK(remove_verity_device(uses_rootfs_overlay), "failed to release container rootfs image");
    LOG_INFO("container shutdown finished");
}

void Container::stop_runc_container() {
    Container_status status = get_status();
    if (status == Container_status::DELETED) {
        return;
    }
    if (status == Container_status::RUNNING) {
        LOG_DEBUG("stop runc container");
        const char* kill_argv[] = {"runc", "kill", "--all", m_name.c_str(), "KILL", nullptr};
        const int kill_ret = m_sys->command(kill_argv, nullptr);
        if (kill_ret != 0) {
            LOG_WARN("unexpected runc return code: ", kill_ret);
        }
        const auto begin = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - begin <= runc_stop_timeout) {
            sleep_whole_second();
            if (get_status() == Container_status::STOPPED) {
                break;
            }
        }
        if (get_status() == Container_status::RUNNING) {
            LOG_WARN("runc container is still running after timeout");
        }
    }
    LOG_DEBUG("delete runc container");
    const char* delete_argv[] = {"runc", "delete", "--force", m_name.c_str(), nullptr};
    const int delete_ret = m_sys->command(delete_argv, nullptr);
    if (delete_ret != 0) {
        LOG_WARN("runc delete retuns exit code: ", delete_ret);
    }
    status = get_status();
    QL_CHECK(status == Container_status::DELETED, "container deletion ", m_name, " failed");
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

void Container::sweep_mounts(bool& data_mounted, bool& uses_rootfs_overlay) {
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
    if (table == nullptr) {
        LOG_ERROR("failed to read /proc/self/mountinfo");
    }
    std::unique_ptr<libmnt_iter, Iter_free> itr_holder(mnt_new_iter(MNT_ITER_FORWARD));
    libmnt_iter* itr = itr_holder.get();
    QL_CHECK(itr, "");

    // Count pass: the mounts that belong to the container are taken out of the
    // table; what stays is looked at by the sweep.
    libmnt_fs* fs = nullptr;
    while (table != nullptr && mnt_table_next_fs(table, itr, &fs) == 0) {
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
    uses_rootfs_overlay = tracked[1].count != 0;
    data_mounted = tracked[2].count != 0;

    // Without a content directory nothing lies below it; an empty prefix would
    // otherwise claim every mount of the system.
    const std::string below_content = content.path.empty() ? std::string() : content.path + "/";
    bool progress = true;
    while (table != nullptr && progress) {
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
    const int remaining = table != nullptr ? mnt_table_get_nents(table) : 0;
    if (remaining > 0) {
        LOG_ERROR("giving up with ", remaining, " remaining mounts since not making any progress");
    }
}

}  // namespace ql
