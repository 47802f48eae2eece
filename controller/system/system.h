// Starting other programs and mounting file systems: the one place where
// quillon forks, replaces its process image or calls libmount.
#pragma once

#include <string>

namespace ql {

// Stateless; every owner keeps an instance of its own.
class System {
public:
    // Runs cmd_argv (null-terminated; element 0 looked up through PATH) in a child
    // whose standard output and error go into a pipe. Everything the child writes
    // is appended to *output when output is not null (and echoed to standard output
    // at threshold DEBUG). A non-empty working_dir becomes the child's directory.
    // Returns the exit status (0..255), or -1 when the child did not exit normally.
    // The output is read while the child itself lives, then what is left in the
    // pipe; descendants that keep the pipe open do not hold the call. With
    // timeout_seconds > 0 the child and its process group are killed when the
    // limit passes (ERROR line, result -1). The child starts with default
    // signal dispositions and an empty mask.
    // Throws when the pipe, the fork or the wait fails.
    // With ends_on_stop_request a stop request (SIGTERM, SIGINT, SIGHUP, held
    // by the caller) ends the child's process group at once (ERROR line, result
    // -1); the request stays pending for the caller. With shares_output the
    // child writes to this process's standard output and error instead, and
    // output stays empty.
    enum Flags : unsigned { plain = 0, ends_on_stop_request = 1, shares_output = 2 };
    int command(const char* const* cmd_argv, std::string* output = nullptr,
                const std::string& working_dir = std::string(), int timeout_seconds = 0,
                unsigned flags = plain);

    // Replaces the process image (default dispositions for the new program,
    // an empty mask except for held stop requests, which stay blocked: one
    // that comes after the caller's last check is the new program's to
    // handle, never a death of this process by the default action). Returns
    // only on failure, with execvp's result, the previous dispositions and
    // mask restored.
    int execvp(const char* program, const char* const* argv);

    // Mounts source onto target with MS_* flags; options and fstype may be null
    // (without a type libmount probes it). Refuses a target that is already a mount
    // point before anything is mounted. Throws on every failure.
    void mount(const std::string& source, const std::string& target, unsigned long flags,
               const char* options, const char* fstype);

    // Bind mounts what source_fd names onto what target_fd names (both opened
    // with O_PATH), so that nothing can be swapped between the checks that
    // opened them and the mount; target is the path for the messages and the
    // "already mounted" refusal. Throws on every failure.
    void bind_mount(int source_fd, int target_fd, const std::string& target);

    // Unmounts target; with delete_loop the backing loop device is detached as well.
    // Logs and returns false on failure (including a target that is not mounted);
    // never throws.
    bool umount(const std::string& target, bool delete_loop);
};

}  // namespace ql
