// The few kernel calls that build loop and device-mapper devices, behind one
// interface so that the exact requests can be inspected without a kernel.
#pragma once

#include <sys/types.h>

#include <utility>

namespace ql {

class Kernel {
public:
    virtual ~Kernel() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    // Requests whose argument is a pointer to a request structure.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    // Requests whose argument is a plain number (a descriptor) or none.
    virtual int ioctl(int fd, unsigned long request, unsigned long argument) = 0;
    virtual int mknod(const char* path, mode_t mode, dev_t device) = 0;
    virtual int unlink(const char* path) = 0;
};

// The running kernel.
Kernel& linux_kernel();

// A descriptor opened through a Kernel and closed through it (a recording
// kernel hands out descriptors that mean nothing to the real one).
class Kernel_fd {
public:
    Kernel_fd(Kernel& kernel, int fd) : m_kernel(&kernel), m_fd(fd) {}
    Kernel_fd(Kernel_fd&& other) noexcept
        : m_kernel(other.m_kernel), m_fd(std::exchange(other.m_fd, -1)) {}
    Kernel_fd& operator=(Kernel_fd&&) = delete;
    Kernel_fd(const Kernel_fd&) = delete;
    Kernel_fd& operator=(const Kernel_fd&) = delete;
    ~Kernel_fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    // Closes the held descriptor (if any) and holds fd instead.
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            m_kernel->close(m_fd);
        }
        m_fd = fd;
    }

private:
    Kernel* m_kernel;
    int m_fd;
};

}  // namespace ql
