// Test library (LD_PRELOAD) that delivers a stop request at the last moment
// before a start hands over to runc: when the process enters a container's
// content directory, which happens only right before runc starts there.
// quillon itself (stop requests held) sends SIGTERM to itself; the child that
// is about to become "runc run --detach" sends it to quillon, its parent.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

extern "C" int chdir(const char* path) {
    const char* prefix = "/run/containers/";
    const char* suffix = "/content";
    const std::size_t length = std::strlen(path);
    const std::size_t suffix_length = std::strlen(suffix);
    if (std::strncmp(path, prefix, std::strlen(prefix)) == 0 && length > suffix_length &&
        std::strcmp(path + length - suffix_length, suffix) == 0) {
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        kill(sigismember(&mask, SIGTERM) == 1 ? getpid() : getppid(), SIGTERM);
    }
    return static_cast<int>(syscall(SYS_chdir, path));
}
