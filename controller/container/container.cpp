#include "controller/container/container.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <utility>

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
      m_xz_image(containers_target + "/" + m_name + "/" + m_name +
                 ".rootfs.squashfs-xz-dmverity"),
      m_lzo_image(containers_target + "/" + m_name + "/" + m_name +
                  ".rootfs.squashfs-lzo-dmverity"),
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
    const std::string device =
        m_verity->setup(container_key_file, trailer.meta, Image_trailer::meta_size, trailer.sig,
                        Image_trailer::sig_size);
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
        const std::string options =
            std::string("lowerdir=") + m_rootfs_dir + ":" + base_rootfs_dir;
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

}  // namespace ql
