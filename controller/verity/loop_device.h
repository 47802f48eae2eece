// A loop device bound read-only to an open image for as long as a
// device-mapper table is built on it.
#pragma once

#include <string>

#include "controller/verity/kernel.h"

namespace ql {

// Holds the loop control and the bound loop device's descriptors. The
// binding has the autoclear flag: the kernel releases it once its last user
// is gone, so closing these descriptors (release() or the destruction) leaves
// it only to the table that uses it, or ends it when there is none.
class Loop_device {
public:
    explicit Loop_device(Kernel& kernel) : m_kernel(kernel), m_ctl_fd(kernel, -1), m_dev_fd(kernel, -1) {}
    Loop_device(const Loop_device&) = delete;
    Loop_device& operator=(const Loop_device&) = delete;

    // Binds file_fd (the descriptor whose trailer was verified) to a free
    // loop device; raises the assertion error when that fails.
    void bind(int file_fd);
    // "/dev/loop<N>" once bound.
    const std::string& path() const { return m_path; }
    // Closes the descriptors now; the binding stays while its user holds it.
    void release() {
        m_dev_fd.reset();
        m_ctl_fd.reset();
    }

private:
    Kernel& m_kernel;
    Kernel_fd m_ctl_fd;
    Kernel_fd m_dev_fd;
    std::string m_path;
};

}  // namespace ql
