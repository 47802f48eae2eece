#include "controller/verity/kernel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ql {
namespace {

class Linux_kernel final : public Kernel {
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return ::ioctl(fd, request, argument);
    }
    int ioctl(int fd, unsigned long request, unsigned long argument) override {
        return ::ioctl(fd, request, argument);
    }
    int mknod(const char* path, mode_t mode, dev_t device) override { return ::mknod(path, mode, device); }
    int unlink(const char* path) override { return ::unlink(path); }
};

}  // namespace

Kernel& linux_kernel() {
    static Linux_kernel kernel;
    return kernel;
}

}  // namespace ql
