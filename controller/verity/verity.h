// One verified image: the signature check over its metadata and the dm-verity
// device built from that metadata on a loop device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "controller/system/filesystem.h"
#include "controller/system/system.h"
#include "controller/verity/kernel.h"
#include "controller/verity/ssl.h"

namespace ql {

struct Dm_table_load;

class Verity {
public:
    // name: the device-mapper name (also the log name); image: the image file.
    Verity(std::string name, std::string image);
    // The same with a given mbed TLS seam.
    Verity(std::string name, std::string image, std::unique_ptr<Ssl> ssl);
    ~Verity();
    Verity(const Verity&) = delete;
    Verity& operator=(const Verity&) = delete;

    // Checks the signature, then builds the device on image_fd, the open
    // image that meta and sig were read from; returns its node path.
    std::string setup(int image_fd, const char* key_file, const unsigned char* meta, std::int32_t meta_size,
                      const unsigned char* sig, std::int32_t sig_size);

    // True when the device is gone afterwards (removed now or never there).
    bool remove();

    // Completes when sig is a valid signature of meta by the key in key_file;
    // raises the assertion error otherwise.
    void check_metadata_signature(const char* key_file, const unsigned char* meta, std::int32_t meta_size,
                                  const unsigned char* sig, std::int32_t sig_size);

    const std::string& name() const { return m_name; }

private:
    std::string m_name;
    std::string m_image;
    std::unique_ptr<System> m_sys;
    std::unique_ptr<Filesystem> m_fs;
    std::unique_ptr<Ssl> m_ssl;
};

// Holds one device-mapper device while it is built or removed: a device that
// this holder created and did not hand over is removed when it goes.
class Dm_device {
public:
    // Opens "/dev/mapper/control"; raises the assertion error when that fails.
    Dm_device(std::string name, System& system, Filesystem& filesystem, Kernel& kernel = linux_kernel());
    ~Dm_device();
    Dm_device(const Dm_device&) = delete;
    Dm_device& operator=(const Dm_device&) = delete;

    // An empty device of this name; afterwards the holder owns it.
    void create();
    // Loads the (read-only) table of the device.
    void load_table(Dm_table_load& data);
    // Activates the loaded table; returns the device number of the device.
    std::uint64_t resume();
    // Hands the device over to the caller.
    void release() { created = false; }

    // Removes the device and then its node; a missing device counts as
    // removed (its stale node is deleted). Never raises.
    bool destroy();

private:
    int m_ctl_fd;
    std::string name;
    bool created;
    System& system;
    Filesystem& filesystem;
    Kernel& kernel;
};

// Builds the dm-verity device "/dev/mapper/<name>" on the open image image_fd
// from the checked metadata area and returns the node path. Malformed
// metadata is refused before any device exists.
std::string setup_dm_verity_device(const std::string& name, int image_fd, const unsigned char* meta,
                                   std::int32_t meta_size, System& system, Filesystem& filesystem,
                                   Kernel& kernel = linux_kernel());

}  // namespace ql

