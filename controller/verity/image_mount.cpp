#include "controller/verity/image_mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "controller/log/log.h"
#include "controller/system/unique_fd.h"
#include "controller/verity/trailer.h"

namespace ql {

const char* const container_key_file = "/etc/container_key_pub.pem";

const Image_texts base_rootfs_texts = {
    "base rootfs image size: ",      "base rootfs image corruption detected",
    "open base rootfs image failed: ", "rootfs_file != nullptr",
    "veritysetup base rootfs image", "mount base rootfs image device", "baserootfs.cpp"};
const Image_texts container_texts = {
    "container size: ",        "container directory corruption detected",
    "open container failed: ", "cont_file != nullptr",
    "veritysetup container",   "mount container device",   "container.cpp"};

Image_mount::~Image_mount() { undo(); }

bool Image_mount::undo() noexcept {
    bool gone = true;
    try {
        while (!m_mounts.empty()) {
            const auto [target, delete_loop] = m_mounts.back();
            m_mounts.pop_back();
            m_sys->umount(target, delete_loop);
        }
        if (m_device != nullptr) {
            gone = std::exchange(m_device, nullptr)->remove();
        }
    } catch (...) {
        // The error that started the rollback is the one to report.
        gone = false;
    }
    return gone;
}

Image_mount mount_verified_image(Verity& verity, System& sys, Filesystem& fs, const Image_texts& texts,
                                 const Image_request& request) {
    // One descriptor from the trailer to the loop device: the bytes the kernel
    // verifies are those of the file whose signature was checked, even when
    // the path is replaced meanwhile.
    const Unique_fd image(::open(request.image.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image) {
        check_failed(texts.open_check, texts.unit, __LINE__, detail::concat(texts.open_failure, errno));
    }
    struct stat status {};
    if (::fstat(image.get(), &status) != 0) {
        check_failed("::fstat(image.get(), &status) == 0", texts.unit, __LINE__,
                     detail::concat("stat of ", request.image, " failed: ", errno));
    }
    LOG_DEBUG(texts.size, status.st_size);
    const std::int64_t offset = trailer_offset(static_cast<std::uintmax_t>(status.st_size));
    if (offset <= 0) {
        check_failed("offset > 0", texts.unit, __LINE__, texts.corruption);
    }
    LOG_DEBUG("metadata offset: ", offset);
    Image_trailer trailer;
    read_trailer(image.get(), offset, trailer);

    LOG_INFO(texts.veritysetup);
    const std::string device = verity.setup(image.get(), container_key_file, trailer.meta,
                                            Image_trailer::meta_size, trailer.sig, Image_trailer::sig_size);
    Image_mount mounted(sys, &verity);

    LOG_INFO(texts.mount);
    LOG_DEBUG("create mount point: ", request.mount_point);
    fs.create_directory(request.mount_point);
    log_marker("MOUNT_START", request.log_name);
    sys.mount(device, request.mount_point, MS_RDONLY, nullptr, request.fstype);
    mounted.add_mount(request.mount_point);

    if (!request.overlay_options.empty()) {
        LOG_DEBUG("base rootfs available, performing overlay mount");
        sys.mount(device, request.overlay_target, MS_RDONLY, request.overlay_options.c_str(), "overlay");
        mounted.add_mount(request.overlay_target);
    }
    log_marker("MOUNTED_CONTENT", request.log_name);
    return mounted;
}

}  // namespace ql
