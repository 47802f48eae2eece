#include "controller/verity/baserootfs.h"

#include <libmount/libmount.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <utility>

#include "controller/log/log.h"
#include "controller/verity/image_mount.h"

namespace ql {

const char* const base_rootfs_dir = "/run/base-rootfs/rootfs";
const char* const container_key_file = "/etc/container_key_pub.pem";

Base_rootfs::Base_rootfs(std::string image)
    : m_name("base-rootfs"),
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

    Image_mount mounted = mount_verified_image(*m_verity, *m_sys, *m_fs, base_rootfs_texts,
                                               Image_request{m_image, base_rootfs_dir, fstype, m_name, {}, {}});
    mounted.release();
}

namespace {

struct Table_unref {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct Iter_free {
    void operator()(libmnt_iter* itr) const { mnt_free_iter(itr); }
};

// Mount points of the overlays that have the base root file system as a
// lower layer. The kernel lets the base be unmounted under them (they keep
// their own reference), and the device then stays busy.
std::vector<std::string> overlays_on_base() {
    std::unique_ptr<libmnt_table, Table_unref> table(mnt_new_table_from_file("/proc/self/mountinfo"));
    QL_CHECK(table != nullptr, "failed to read /proc/self/mountinfo: ", errno);
    std::unique_ptr<libmnt_iter, Iter_free> itr(mnt_new_iter(MNT_ITER_FORWARD));
    QL_CHECK(itr != nullptr, "");
    std::vector<std::string> users;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), itr.get(), &fs) == 0) {
        const char* type = mnt_fs_get_fstype(fs);
        const char* options = mnt_fs_get_fs_options(fs);
        const char* target = mnt_fs_get_target(fs);
        if (type == nullptr || std::strcmp(type, "overlay") != 0 || options == nullptr || target == nullptr) {
            continue;
        }
        const std::string text = options;
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
                users.push_back(target);
                break;
            }
            start = end + 1;
        }
    }
    return users;
}

}  // namespace

void Base_rootfs::umount() {
    LOG_INFO("Unmounting base rootfs ", m_image);
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
