// The few kernel calls that build loop and device-mapper devices, behind one
// interface so that the exact requests can be inspected without a kernel.
#pragma once

#include <sys/types.h>

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

}  // namespace ql
