// Mounting one verified image, the same way for the base root file system and
// for a container: one descriptor for trailer, signature check and loop
// device, then the read-only mount (and for a container the overlay over the
// base root file system).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "controller/system/filesystem.h"
#include "controller/system/system.h"
#include "controller/verity/verity.h"

namespace ql {

// A mounted image: unless released, its destruction unmounts what was
// mounted (last first) and then removes the device.
class Image_mount {
public:
    // device: the Verity whose device is removed last; null when the mounts
    // stand on their own.
    Image_mount(System& sys, Verity* device) : m_sys(&sys), m_device(device) {}
    Image_mount(Image_mount&& other) noexcept
        : m_sys(other.m_sys), m_device(std::exchange(other.m_device, nullptr)),
          m_mounts(std::move(other.m_mounts)) {
        other.m_mounts.clear();
    }
    Image_mount& operator=(Image_mount&&) = delete;
    Image_mount(const Image_mount&) = delete;
    Image_mount& operator=(const Image_mount&) = delete;
    ~Image_mount();

    // Takes over a mount made at target.
    void add_mount(const std::string& target, bool delete_loop = false) {
        m_mounts.emplace_back(target, delete_loop);
    }
    // Keeps everything; the destruction then undoes nothing.
    void release() {
        m_device = nullptr;
        m_mounts.clear();
    }
    // Undoes now; true when the device is gone (or there was none to remove).
    bool undo() noexcept;

private:
    System* m_sys;
    Verity* m_device;
    std::vector<std::pair<std::string, bool>> m_mounts;
};

// The public key that every image's metadata signature is checked against.
extern const char* const container_key_file;

// The log texts and the assertion that differ between the two kinds of image.
struct Image_texts {
    const char* size;          // "base rootfs image size: "
    const char* corruption;    // "base rootfs image corruption detected"
    const char* open_failure;  // "open base rootfs image failed: "
    const char* open_check;    // "rootfs_file != nullptr"
    const char* veritysetup;   // "veritysetup base rootfs image"
    const char* mount;         // "mount base rootfs image device"
    const char* unit;          // "baserootfs.cpp": the file assertions name
};
extern const Image_texts base_rootfs_texts;
extern const Image_texts container_texts;

struct Image_request {
    const std::string& image;
    const std::string& mount_point;
    const char* fstype;            // null: detected
    const std::string& log_name;   // owner of the markers
    std::string overlay_options;   // not empty: overlay these options onto overlay_target
    std::string overlay_target;
};

// Opens the image once, reads its trailer from that descriptor, checks the
// signature, builds the device on the same descriptor and mounts it
// read-only (then the overlay when asked). Raises on failure, leaving nothing
// behind.
Image_mount mount_verified_image(Verity& verity, System& sys, Filesystem& fs, const Image_texts& texts,
                                 const Image_request& request);

}  // namespace ql
