// The container object: its paths, and its verified image.
#include "controller/container/container.h"

#include <utility>

#include "controller/system/mount_table.h"
#include "controller/log/log.h"
#include "controller/verity/baserootfs.h"

namespace ql {

namespace {

const std::string containers_target = "/containers/target";
const std::string run_containers = "/run/containers/";

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

Image_mount Container::mount_rootfs_image(const char* fstype) {
    LOG_DEBUG("open container file: ", m_container);
    Image_request request{m_container, m_content_dir, fstype, m_name, {}, {}};
    // Held until the overlay is mounted: the base cannot go between the check
    // and the mount, and afterwards "rootumount" sees the overlay.
    const Unique_fd base_lock = lock_base_rootfs(false);
    if (base_rootfs_mounted()) {
        // The rootfs directory is both the target and the upper lower layer:
        // the container's files hide the base's.
        request.overlay_options = std::string("lowerdir=") + m_rootfs_dir + ":" + base_rootfs_dir;
        request.overlay_target = m_rootfs_dir;
    }
    return mount_verified_image(*m_verity, *m_sys, *m_fs, container_texts, request);
}

bool Container::remove_verity_device(bool uses_rootfs_overlay) {
    LOG_DEBUG("remove device-mapper: ", m_name);
    if (uses_rootfs_overlay) {
        m_sys->umount(m_rootfs_dir, false);
    }
    m_sys->umount(m_content_dir, false);
    return m_verity->remove();
}

bool Container::is_started() {
    return is_mount_point(m_content_dir) || m_fs->exists("/dev/mapper/" + m_name);
}

}  // namespace ql
