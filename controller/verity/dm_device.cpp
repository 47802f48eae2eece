// Part of the verity unit: its assertions name verity.cpp.
#define QL_SOURCE_FILE "verity.cpp"

#include "controller/verity/dm_device.h"

#include <fcntl.h>
#include <linux/dm-ioctl.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "controller/log/log.h"
#include "controller/verity/dm_request.h"

namespace ql {

namespace {

const char* const dm_control_path = "/dev/mapper/control";
const char* const dm_node_prefix = "/dev/mapper/";
constexpr int dm_remove_attempts = 20;

}  // namespace

Dm_device::Dm_device(std::string name, Kernel& kernel)
    : m_ctl_fd(kernel, kernel.open(dm_control_path, O_RDWR | O_CLOEXEC)),
      name(std::move(name)),
      created(false),
      kernel(kernel) {
    if (!m_ctl_fd) {
        check_failed("m_ctl_fd >= 0", QL_SOURCE_FILE, __LINE__,
                     detail::concat("open device mapper control failed: ", errno));
    }
}

Dm_device::~Dm_device() {
    try {
        if (created) {
            destroy();
        }
    } catch (...) {
        // A rollback must not end the process; destroy has logged what failed.
    }
}

void Dm_device::create() {
    LOG_DEBUG("create dm-device ", name);
    struct dm_ioctl header = dm_header(name, dm_header_size);
    const int ioctl_ret = kernel.ioctl(m_ctl_fd.get(), DM_DEV_CREATE, &header);
    QL_CHECK(ioctl_ret == 0, "create dm-device failed: ", errno);
    created = true;
}

void Dm_device::load_table(Dm_table_load& data) {
    const int ioctl_ret = kernel.ioctl(m_ctl_fd.get(), DM_TABLE_LOAD, &data);
    QL_CHECK(ioctl_ret == 0, "load dm-device table failed: ", errno);
}

std::uint64_t Dm_device::resume() {
    // Flags 0: the suspend request resumes the device.
    struct dm_ioctl header = dm_header(name, dm_header_size);
    const int ioctl_ret = kernel.ioctl(m_ctl_fd.get(), DM_DEV_SUSPEND, &header);
    QL_CHECK(ioctl_ret == 0, "resume dm-device failed: ", errno);
    return header.dev;
}

bool Dm_device::destroy() {
    bool removed = true;
    try {
        // A new device is briefly opened by whoever probes it: a bounded
        // number of retries rides that out, a real user stays EBUSY.
        int attempt = 0;
        int remove_ret = 0;
        int remove_errno = 0;
        for (;;) {
            struct dm_ioctl header = dm_header(name, dm_header_size);
            remove_ret = kernel.ioctl(m_ctl_fd.get(), DM_DEV_REMOVE, &header);
            remove_errno = errno;
            if (remove_ret == 0 || remove_errno != EBUSY || ++attempt >= dm_remove_attempts) {
                break;
            }
            const timespec pause{0, 50'000'000};
            ::nanosleep(&pause, nullptr);
        }
        if (remove_ret != 0) {
            if (remove_errno == ENXIO) {
                LOG_INFO("dm-device ", name, " does not exist");
            } else {
                LOG_ERROR("destroy dm-device failed: ", remove_errno);
                removed = false;
            }
        }
    } catch (...) {
        removed = false;
    }
    // The node goes only with its device: a node of a device that is still
    // there is what its users and a later removal need.
    if (removed) {
        kernel.unlink((dm_node_prefix + name).c_str());
    }
    return removed;
}

}  // namespace ql
