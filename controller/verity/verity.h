// One verified image: the signature check over its metadata and the dm-verity
// device built from that metadata on a loop device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "controller/system/filesystem.h"
#include "controller/verity/kernel.h"
#include "controller/verity/ssl.h"

namespace ql {

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
    std::unique_ptr<Filesystem> m_fs;
    std::unique_ptr<Ssl> m_ssl;
};

// Builds the dm-verity device "/dev/mapper/<name>" on the open image image_fd
// from the checked metadata area and returns the node path. Malformed
// metadata is refused before any device exists.
std::string setup_dm_verity_device(const std::string& name, int image_fd, const unsigned char* meta,
                                   std::int32_t meta_size, Kernel& kernel = linux_kernel());

}  // namespace ql

