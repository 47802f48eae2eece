#include "controller/system/system.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <libmount.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

#include "controller/log/log.h"
#include "controller/system/signal_hold.h"
#include "controller/system/unique_fd.h"

namespace ql {

namespace {

struct Context_freer {
    void operator()(libmnt_context* ctx) const { mnt_free_context(ctx); }
};
using Mount_context = std::unique_ptr<libmnt_context, Context_freer>;

// A program started by quillon gets the default dispositions and an empty
// mask, whatever quillon holds back or ignores for itself (an ignored signal
// stays ignored across exec, a blocked one stays blocked). Returns the
// signals that were ignored, so that a failed exec can restore them.
sigset_t reset_signals_for_exec(const sigset_t& keep_blocked) {
    sigset_t ignored;
    sigemptyset(&ignored);
    for (int number = 1; number < NSIG; ++number) {
        if (number == SIGKILL || number == SIGSTOP) {
            continue;
        }
        struct sigaction action {};
        if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            sigaddset(&ignored, number);
            std::signal(number, SIG_DFL);
        }
    }
    sigprocmask(SIG_SETMASK, &keep_blocked, nullptr);
    return ignored;
}

sigset_t no_signals() {
    sigset_t empty;
    sigemptyset(&empty);
    return empty;
}

// The child side of command(): never returns. A failure is logged into the pipe
// together with the assertion text, and the child ends at once with status 1 so
// that none of the parent's clean-up runs twice.
[[noreturn]] void run_child(int read_fd, int write_fd, const char* const* argv,
                            const std::string& working_dir, bool own_group, bool shares_output) {
    reset_signals_for_exec(no_signals());
    if (own_group) {
        // Its own process group, so that a time limit ends its helpers too.
        setpgid(0, 0);
    }
    close(read_fd);
    if (!shares_output) {
        dup2(write_fd, STDOUT_FILENO);
        dup2(write_fd, STDERR_FILENO);
    }
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

namespace {

// Appends what is in the pipe now; false at end of file or on an error.
bool read_some(int fd, std::string* output, bool echo) {
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
        return true;
    }
    if (count <= 0) {
        return false;
    }
    if (output != nullptr) {
        output->append(buffer, static_cast<std::size_t>(count));
    }
    if (echo) {
        std::fwrite(buffer, 1, static_cast<std::size_t>(count), stdout);
        std::fflush(stdout);
    }
    return true;
}

}  // namespace

namespace {

// Whether the child has ended, asked without reaping it.
bool child_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

int System::command(const char* const* cmd_argv, std::string* output, const std::string& working_dir,
                    int timeout_seconds, unsigned flags) {
    const bool on_stop = (flags & ends_on_stop_request) != 0;
    const bool own_group = timeout_seconds > 0 || on_stop;
    int pipe_fd[2] = {-1, -1};
    QL_CHECK(pipe(&pipe_fd[0]) == 0, "open pipe failed: ", errno);
    Unique_fd read_end(pipe_fd[0]);
    Unique_fd write_end(pipe_fd[1]);

    // Nothing buffered may be written a second time by the child.
    std::fflush(nullptr);
    const pid_t pid = fork();
    QL_CHECK(pid >= 0, "fork failed: ", errno);
    if (pid == 0) {
        run_child(read_end.get(), write_end.get(), cmd_argv, working_dir, own_group,
                  (flags & shares_output) != 0);
    }
    if (own_group) {
        // Set from both sides, so that a kill right after the fork reaches the group.
        setpgid(pid, pid);
    }

    const bool echo = log_threshold() == static_cast<int>(Log_level::DEBUG);
    write_end.reset();
    // The pipe is read only while the child itself lives: a descendant that
    // keeps the pipe open (a daemon started by a script) must not hold us.
    // Without a process descriptor, or when poll fails, the child's end is
    // asked for every 100 ms, so the time limit holds on every path.
    const Unique_fd child(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    bool pipe_open = true;
    bool timed_out = false;
    bool stopped = false;
    for (;;) {
        int wait_ms = -1;
        if (timeout_seconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timed_out = true;
                break;
            }
            wait_ms = static_cast<int>(left.count());
        }
        if (on_stop && stop_request_pending()) {
            stopped = true;
            break;
        }
        const bool ask = !child || on_stop;
        if (ask) {
            wait_ms = wait_ms < 0 ? 100 : std::min(wait_ms, 100);
        }
        pollfd fds[2] = {{pipe_open ? read_end.get() : -1, POLLIN, 0}, {child.get(), POLLIN, 0}};
        const int ready = poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno != EINTR) {
                const timespec pause{0, 100'000'000};
                nanosleep(&pause, nullptr);
            }
            if (child_ended(pid)) {
                break;
            }
            continue;
        }
        if (pipe_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            pipe_open = read_some(read_end.get(), output, echo);
        }
        if (child && (fds[1].revents & POLLIN) != 0) {
            break;
        }
        if (ask && child_ended(pid)) {
            break;
        }
    }
    if (timed_out || stopped) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        if (timed_out) {
            LOG_ERROR("command ", cmd_argv[0], " did not finish within ", timeout_seconds, " s and was killed");
        } else {
            LOG_ERROR("command ", cmd_argv[0], " was killed by a stop request");
        }
    } else if (pipe_open) {
        // The child has ended: take what it left in the pipe, without waiting
        // for descendants that still hold the write end.
        fcntl(read_end.get(), F_SETFL, O_NONBLOCK);
        while (read_some(read_end.get(), output, echo)) {
        }
    }
    read_end.reset();

    int status = 0;
    pid_t wait_pid = -1;
    do {
        wait_pid = waitpid(pid, &status, 0);
    } while (wait_pid < 0 && errno == EINTR);
    QL_CHECK(wait_pid >= 0, "wait for pid failed: ", errno);
    if (timed_out || stopped) {
        return -1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    LOG_WARN("unexpected child process status");
    return -1;
}

int System::execvp(const char* program, const char* const* argv) {
    // Whatever is still buffered would be lost with the process image.
    std::fflush(nullptr);
    sigset_t previous;
    sigprocmask(SIG_SETMASK, nullptr, &previous);
    // Held stop requests stay blocked across the exec (see the header).
    sigset_t keep = stop_request_signals();
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigismember(&previous, number) != 1) {
            sigdelset(&keep, number);
        }
    }
    const sigset_t ignored = reset_signals_for_exec(keep);
    const int result = ::execvp(program, const_cast<char* const*>(argv));
    const int exec_errno = errno;
    for (int number = 1; number < NSIG; ++number) {
        if (sigismember(&ignored, number) == 1) {
            std::signal(number, SIG_IGN);
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = exec_errno;
    return result;
}

namespace {

// Fails the mount when something is mounted at the target already. 1 is
// libmount's answer when nothing is.
void require_free_target(Mount_context& ctx, const std::string& target) {
    libmnt_fs* mounted = nullptr;
    const bool mount_success = mnt_context_find_umount_fs(ctx.get(), target.c_str(), &mounted) == 1;
    if (!mount_success) {
        LOG_ERROR("target path is already mounted");
        ctx.reset();
        QL_CHECK(mount_success, "");
    }
}

}  // namespace

void System::mount(const std::string& source, const std::string& target, unsigned long flags,
                   const char* options, const char* fstype) {
    LOG_DEBUG("mount ", source, " as ", target);
    Mount_context ctx(mnt_new_context());
    QL_CHECK(ctx, "");

    require_free_target(ctx, target);

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
    const bool mount_success = result == 0;
    if (!mount_success) {
        LOG_ERROR("mount failed: ", result);
        ctx.reset();
        QL_CHECK(mount_success, "");
    }
}

void System::bind_mount(int source_fd, int target_fd, const std::string& target) {
    LOG_DEBUG("mount descriptor ", source_fd, " as ", target);
    Mount_context ctx(mnt_new_context());
    QL_CHECK(ctx, "");
    require_free_target(ctx, target);
    // The kernel follows the descriptors' links to the very objects opened.
    const std::string source_path = "/proc/self/fd/" + std::to_string(source_fd);
    const std::string target_path = "/proc/self/fd/" + std::to_string(target_fd);
    const bool mount_success = ::mount(source_path.c_str(), target_path.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!mount_success) {
        LOG_ERROR("mount failed: ", -errno);
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
