#include "controller/verity/baserootfs.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <utility>

#include "controller/log/log.h"
#include "controller/system/file_lock.h"
#include "controller/system/mount_table.h"
#include "controller/verity/image_mount.h"

namespace ql {

const char* const base_rootfs_dir = "/run/base-rootfs/rootfs";
const char* const base_rootfs_name = "base-rootfs";

Base_rootfs::Base_rootfs(std::string image)
    : m_name(base_rootfs_name),
      m_image(std::move(image)),
      m_sys(std::make_unique<System>()),
      m_fs(std::make_unique<Filesystem>()),
      m_verity(std::make_unique<Verity>(m_name, m_image)) {
    log_marker("MOUNTING", m_name);
}

Base_rootfs::~Base_rootfs() = default;

void Base_rootfs::mount(const char* fstype) {
    LOG_INFO("Mounting base rootfs ", m_image);
    QL_CHECK(m_fs->exists(m_image.c_str()), "base rootfs image does not exist, no such file: ", m_image);
    const Unique_fd lock = lock_base_rootfs(true);

    Image_mount mounted = mount_verified_image(*m_verity, *m_sys, *m_fs, base_rootfs_texts,
                                               Image_request{m_image, base_rootfs_dir, fstype, m_name, {}, {}});
    mounted.release();
}

namespace {

const char* const base_dir = "/run/base-rootfs";

// Mount points of the overlays that have the base root file system as a
// lower layer. The kernel lets the base be unmounted under them (they keep
// their own reference), and the device then stays busy.
std::vector<std::string> overlays_on_base() {
    std::vector<std::string> users;
    for (const Mount_entry& entry : read_mount_table()) {
        if (entry.fstype != "overlay") {
            continue;
        }
        const std::string& text = entry.options;
        const std::size_t begin = text.find("lowerdir=");
        if (begin == std::string::npos) {
            continue;
        }
        const std::string lower = text.substr(begin + 9, text.find(',', begin) - (begin + 9));
        std::size_t start = 0;
        while (start <= lower.size()) {
            const std::size_t end = std::min(lower.find(':', start), lower.size());
            if (lower.compare(start, end - start, base_rootfs_dir) == 0 &&
                end - start == std::strlen(base_rootfs_dir)) {
                users.push_back(entry.target);
                break;
            }
            start = end + 1;
        }
    }
    return users;
}

}  // namespace

Unique_fd lock_base_rootfs(bool exclusive) {
    Filesystem().create_private_directory(base_dir);
    return wait_for_lock(std::string(base_dir) + "/lock", "the base rootfs", exclusive);
}

bool base_rootfs_mounted() {
    struct stat device {};
    if (::stat((std::string("/dev/mapper/") + base_rootfs_name).c_str(), &device) != 0 ||
        !S_ISBLK(device.st_mode)) {
        return false;
    }
    // The last mount at the place is the one seen there.
    bool mounted = false;
    for (const Mount_entry& entry : read_mount_table()) {
        if (entry.target == base_rootfs_dir) {
            mounted = entry.root == "/" && entry.devno == static_cast<std::uint64_t>(device.st_rdev);
        }
    }
    return mounted;
}

void Base_rootfs::umount() {
    LOG_INFO("Unmounting base rootfs ", m_image);
    // No start may lay its overlay while the base goes.
    const Unique_fd lock = lock_base_rootfs(true);
    const std::vector<std::string> users = overlays_on_base();
    for (const std::string& user : users) {
        LOG_ERROR("base rootfs is still used by the overlay at ", user);
    }
    QL_CHECK(users.empty(), "");
    m_sys->umount(base_rootfs_dir, false);
    // An absent device counts as removed, so the command can be repeated; one
    // that stays (a container's overlay still holds the base) is a failure.
    QL_CHECK(m_verity->remove(), "failed to remove the base rootfs device");
    LOG_INFO("Unmounting base rootfs finished");
}

}  // namespace ql
