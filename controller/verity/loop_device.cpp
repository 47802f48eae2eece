// Part of the verity unit: its assertions name verity.cpp.
#define QL_SOURCE_FILE "verity.cpp"

#include "controller/verity/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>

#include <cerrno>
#include <cstring>

#include "controller/log/log.h"

namespace ql {

namespace {

const char* const loop_control_path = "/dev/loop-control";
const char* const loop_device_prefix = "/dev/loop";

// Another process can take a free loop device between the query and the
// bind; a few rounds of that are normal, an endless one is not.
constexpr int loop_bind_attempts = 16;

}  // namespace

// Binds the image descriptor (the one whose trailer was verified) read-only
// to a free loop device that clears itself on last close. LOOP_CONFIGURE does
// it in one request; kernels before 5.8 answer EINVAL or ENOTTY and get the
// two-request form.
void Loop_device::bind(int file_fd) {
    Kernel& kernel = m_kernel;
    m_ctl_fd.reset(kernel.open(loop_control_path, O_RDWR | O_CLOEXEC));
    if (!m_ctl_fd) {
        check_failed("loop.ctl_fd >= 0", QL_SOURCE_FILE, __LINE__, detail::concat("open loop control failed: ", errno));
    }

    bool configure = true;
    for (int attempt = 1;; ++attempt) {
        const int devnr = kernel.ioctl(m_ctl_fd.get(), LOOP_CTL_GET_FREE, 0UL);
        QL_CHECK(devnr >= 0, "get free loop device failed: ", errno);
        m_path = loop_device_prefix + std::to_string(devnr);
        m_dev_fd.reset(kernel.open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!m_dev_fd) {
            check_failed("loop.dev_fd >= 0", QL_SOURCE_FILE, __LINE__,
                         detail::concat("open loop device failed: ", errno));
        }
        int ioctl_ret = -1;
        if (configure) {
            struct loop_config config;
            std::memset(&config, 0, sizeof(config));
            config.fd = static_cast<__u32>(file_fd);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            ioctl_ret = kernel.ioctl(m_dev_fd.get(), LOOP_CONFIGURE, &config);
            if (ioctl_ret == 0) {
                return;
            }
            if (errno == EINVAL || errno == ENOTTY) {
                configure = false;
            }
        }
        if (!configure) {
            ioctl_ret = kernel.ioctl(m_dev_fd.get(), LOOP_SET_FD, static_cast<unsigned long>(file_fd));
            if (ioctl_ret == 0) {
                break;
            }
        }
        if (errno == EBUSY && attempt < loop_bind_attempts) {
            m_dev_fd.reset();
            continue;
        }
        if (errno == EBUSY) {
            LOG_ERROR("no free loop device after ", loop_bind_attempts, " attempts");
        }
        QL_CHECK(ioctl_ret == 0, "attach loop device failed: ", errno);
    }

    struct loop_info64 info;
    std::memset(&info, 0, sizeof(info));
    info.lo_flags = LO_FLAGS_AUTOCLEAR;
    const int ioctl_ret = kernel.ioctl(m_dev_fd.get(), LOOP_SET_STATUS64, &info);
    if (ioctl_ret != 0) {
        // Without the autoclear flag nothing would ever release the binding.
        const int status_errno = errno;
        kernel.ioctl(m_dev_fd.get(), LOOP_CLR_FD, 0UL);
        errno = status_errno;
    }
    QL_CHECK(ioctl_ret == 0, "set loop device flags failed: ", errno);
}

}  // namespace ql
