#include "controller/system/system.h"

#include <fcntl.h>
#include <libmount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "controller/log/log.h"

namespace ql {

namespace {

// Closes a descriptor unless it was handed on.
class Unique_fd {
public:
    explicit Unique_fd(int fd) : m_fd(fd) {}
    Unique_fd(const Unique_fd&) = delete;
    Unique_fd& operator=(const Unique_fd&) = delete;
    ~Unique_fd() { reset(); }

    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd;
};

struct File_closer {
    void operator()(FILE* file) const { std::fclose(file); }
};

struct Context_freer {
    void operator()(libmnt_context* ctx) const { mnt_free_context(ctx); }
};
using Mount_context = std::unique_ptr<libmnt_context, Context_freer>;

// The child side of command(): never returns. A failure is logged into the pipe
// together with the assertion text, and the child ends at once with status 1 so
// that none of the parent's clean-up runs twice.
[[noreturn]] void run_child(int read_fd, int write_fd, const char* const* argv,
                            const std::string& working_dir) {
    close(read_fd);
    dup2(write_fd, STDOUT_FILENO);
    dup2(write_fd, STDERR_FILENO);
    if (write_fd != STDOUT_FILENO && write_fd != STDERR_FILENO) {
        close(write_fd);
    }
    try {
        if (!working_dir.empty()) {
            LOG_DEBUG("change working dir to ", working_dir);
            const int chdir_ret = chdir(working_dir.c_str());
            QL_CHECK(chdir_ret == 0, "chdir command failed: ", errno);
        }
        char* const* cmd_argv = const_cast<char* const*>(argv);
        QL_CHECK(execvp(cmd_argv[0], cmd_argv) > 0, "execute cmd failed: ", errno);
    } catch (const std::exception& e) {
        std::fputs(e.what(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    std::fflush(stdout);
    _exit(1);
}

// Every libmount result is judged here: 0 is success, anything else is logged.
bool libmount_ok(int result, const std::string& call) {
    if (result == 0) {
        return true;
    }
    LOG_ERROR(call, " returned ", result);
    return false;
}

}  // namespace

int System::command(const char* const* cmd_argv, std::string* output,
                    const std::string& working_dir) {
    int pipe_fd[2] = {-1, -1};
    QL_CHECK(pipe(&pipe_fd[0]) == 0, "open pipe failed: ", errno);
    Unique_fd read_end(pipe_fd[0]);
    Unique_fd write_end(pipe_fd[1]);

    // Nothing buffered may be written a second time by the child.
    std::fflush(nullptr);
    const pid_t pid = fork();
    QL_CHECK(pid >= 0, "fork failed: ", errno);
    if (pid == 0) {
        run_child(read_end.get(), write_end.get(), cmd_argv, working_dir);
    }

    const bool echo = log_threshold() == static_cast<int>(Log_level::DEBUG);
    write_end.reset();
    FILE* pipe = fdopen(read_end.get(), "r");
    QL_CHECK(pipe, "open pipe failed: ", errno);
    read_end.release();
    std::unique_ptr<FILE, File_closer> stream(pipe);

    // Read to the end before waiting, so that a child never blocks on a full pipe.
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, stream.get()) != nullptr) {
        if (output != nullptr) {
            output->append(buffer);
        }
        if (echo) {
            std::fputs(buffer, stdout);
            std::fflush(stdout);
        }
    }
    stream.reset();

    int status = 0;
    const pid_t wait_pid = waitpid(pid, &status, 0);
    QL_CHECK(wait_pid >= 0, "wait for pid failed: ", errno);
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    LOG_WARN("unexpected child process status");
    return -1;
}

int System::execvp(const char* program, const char* const* argv) {
    // Whatever is still buffered would be lost with the process image.
    std::fflush(nullptr);
    return ::execvp(program, const_cast<char* const*>(argv));
}

void System::mount(const std::string& source, const std::string& target, unsigned long flags,
                   const char* options, const char* fstype) {
    LOG_DEBUG("mount ", source, " as ", target);
    Mount_context ctx(mnt_new_context());
    QL_CHECK(ctx, "");

    // 1 is libmount's answer when nothing is mounted at the target.
    libmnt_fs* mounted = nullptr;
    bool mount_success = mnt_context_find_umount_fs(ctx.get(), target.c_str(), &mounted) == 1;
    if (!mount_success) {
        LOG_ERROR("target path is already mounted");
        ctx.reset();
        QL_CHECK(mount_success, "");
    }

    // A bad value here surfaces as a failure of the mount itself.
    mnt_context_set_source(ctx.get(), source.c_str());
    mnt_context_set_target(ctx.get(), target.c_str());
    unsigned long current = 0;
    mnt_context_get_mflags(ctx.get(), &current);
    mnt_context_set_mflags(ctx.get(), flags | current);
    if (options != nullptr) {
        LOG_DEBUG("options: ", options);
        mnt_context_set_options(ctx.get(), options);
    }
    if (fstype != nullptr) {
        LOG_DEBUG("fstype: ", fstype);
        mnt_context_set_fstype_pattern(ctx.get(), fstype);
    }

    const int result = mnt_context_mount(ctx.get());
    mount_success = result == 0;
    if (!mount_success) {
        LOG_ERROR("mount failed: ", result);
        ctx.reset();
        QL_CHECK(mount_success, "");
    }
}

bool System::umount(const std::string& target, bool delete_loop) {
    Mount_context ctx(mnt_new_context());
    if (!ctx) {
        LOG_DEBUG("umount context creation failed");
        return false;
    }
    libmnt_fs* mounted = nullptr;
    if (!libmount_ok(mnt_context_find_umount_fs(ctx.get(), target.c_str(), &mounted),
                     "mnt_context_find_umount_fs(" + target + ")")) {
        return false;
    }
    if (!libmount_ok(mnt_context_set_target(ctx.get(), target.c_str()),
                     "mnt_context_set_target(" + target + ")")) {
        return false;
    }
    if (!libmount_ok(mnt_context_enable_loopdel(ctx.get(), delete_loop ? 1 : 0),
                     "mnt_context_enable_loopdel()")) {
        return false;
    }

    const int result = mnt_context_umount(ctx.get());
    const char* unmounted = mnt_context_get_target(ctx.get());
    const std::string name = unmounted != nullptr ? unmounted : "NULL";
    if (result != 0) {
        if (mnt_context_syscall_called(ctx.get()) == 1) {
            LOG_ERROR("umount(", name, ") syscall status is ",
                      mnt_context_get_syscall_errno(ctx.get()));
        }
        return libmount_ok(result, "mnt_context_umount(" + name + ")");
    }
    if (mnt_context_helper_executed(ctx.get()) == 1) {
        const int status = mnt_context_get_helper_status(ctx.get());
        if (status != 0) {
            LOG_ERROR("umount helper for ", name, " terminated with exit status ", status);
            return false;
        }
    }
    return true;
}

}  // namespace ql
