// The shared base root file system: its verified image mounted read-only at
// "/run/base-rootfs/rootfs" ("rootmount") and taken down again ("rootumount").
#pragma once

#include <memory>
#include <string>

#include "controller/system/filesystem.h"
#include "controller/system/system.h"
#include "controller/system/unique_fd.h"
#include "controller/verity/verity.h"

namespace ql {

// Mount point of the base root file system; container images lay their
// overlay over it.
extern const char* const base_rootfs_dir;
// The device-mapper name of the base image; no container may have it.
extern const char* const base_rootfs_name;

// The lock between "rootmount"/"rootumount" (exclusive) and a start that
// lays its overlay over the base (shared), in the private "/run/base-rootfs";
// waits up to 10 s, then raises. Held while the result lives.
Unique_fd lock_base_rootfs(bool exclusive);

// Whether the base root file system directory is the mount of the base
// device (not merely an empty directory left by "rootumount").
bool base_rootfs_mounted();

class Base_rootfs {
public:
    // image: the image file exactly as the command line gave it.
    explicit Base_rootfs(std::string image);
    ~Base_rootfs();
    Base_rootfs(const Base_rootfs&) = delete;
    Base_rootfs& operator=(const Base_rootfs&) = delete;

    // fstype may be null (the type is detected). Raises on failure; a device
    // set up before the failure is removed again.
    void mount(const char* fstype);
    // Unmounts and removes the device; raises, touching nothing, while a
    // container's overlay uses the base, and when the device stays (an
    // absent one counts as removed).
    void umount();

    const std::string& log_name() const { return m_name; }

private:
    std::string m_name;
    std::string m_image;
    std::unique_ptr<System> m_sys;
    std::unique_ptr<Filesystem> m_fs;
    std::unique_ptr<Verity> m_verity;
};

}  // namespace ql
