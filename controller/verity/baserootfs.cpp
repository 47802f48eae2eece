#include "controller/verity/baserootfs.h"

#include <sys/mount.h>

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

void Base_rootfs::umount() {
    LOG_INFO("Unmounting base rootfs ", m_image);
    m_sys->umount(base_rootfs_dir, false);
    // An absent device counts as removed, so the command can be repeated; one
    // that stays (a container's overlay still holds the base) is a failure.
    QL_CHECK(m_verity->remove(), "failed to remove the base rootfs device");
    LOG_INFO("Unmounting base rootfs finished");
}

}  // namespace ql
