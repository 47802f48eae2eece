#include "controller/verity/baserootfs.h"

#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "controller/log/log.h"
#include "controller/verity/trailer.h"

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

    const std::uintmax_t size = std::filesystem::file_size(m_image);
    LOG_DEBUG("base rootfs image size: ", size);
    const std::int64_t offset = trailer_offset(size);
    QL_CHECK(offset > 0, "base rootfs image corruption detected");
    LOG_DEBUG("metadata offset: ", offset);
    Image_trailer trailer;
    {
        File rootfs_file(std::fopen(m_image.c_str(), "r"));
        QL_CHECK(rootfs_file != nullptr, "open base rootfs image failed: ", errno);
        read_trailer(rootfs_file.get(), offset, trailer);
    }

    LOG_INFO("veritysetup base rootfs image");
    const std::string device = m_verity->setup(container_key_file, trailer.meta, Image_trailer::meta_size,
                                               trailer.sig, Image_trailer::sig_size);
    Verity_device device_holder(*m_verity);

    LOG_INFO("mount base rootfs image device");
    LOG_DEBUG("create mount point: ", base_rootfs_dir);
    m_fs->create_directory(base_rootfs_dir);
    log_marker("MOUNT_START", m_name);
    m_sys->mount(device, base_rootfs_dir, MS_RDONLY, nullptr, fstype);
    log_marker("MOUNTED_CONTENT", m_name);
    device_holder.release();
}

void Base_rootfs::umount() {
    LOG_INFO("Unmounting base rootfs ", m_image);
    m_sys->umount(base_rootfs_dir, false);
    m_verity->remove();
    LOG_INFO("Unmounting base rootfs finished");
}

}  // namespace ql
