// Helpers for the container tests that run as root inside the private test
// root (test_root.sh): images, the recording fakes, the mount table and loop
// devices, and running a start or stop in a child process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "controller/container/mount_request.h"
#include "controller/container/container.h"

namespace ql::test {

std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text, unsigned mode = 0644);
void run_shell(const std::string& command);

// Files of a container image: path inside the image -> (content, mode). A
// path ending in "/" is a directory.
using Image_files = std::map<std::string, std::pair<std::string, unsigned>>;

// Builds /containers/target/<name>/<name>.rootfs.squashfs-xz-dmverity from files.
void build_image(const std::string& name, const Image_files& files);

// Mount points (targets) of /proc/self/mountinfo, in table order.
std::vector<std::string> mount_targets();
bool is_mounted(const std::string& target);
// The mount options (per-mount and super block) of the last mount at target.
std::string mount_options(const std::string& target);
// Backing files of the attached loop devices.
std::vector<std::string> loop_backing_files();

// What a container left behind: mounts under its run directory or at any of
// extra_targets, and loop devices on its image or data partition. Empty when clean.
std::vector<std::string> leftovers(const std::string& name,
                                   const std::vector<std::string>& extra_targets = {});

// Clears what the fakes recorded and their behaviour switches.
void reset_fakes();
std::vector<std::string> runc_calls();
std::vector<std::string> smackload_calls();

// A container whose image is a plain squashfs file mounted through a loop
// device: the steps around it run unchanged on kernels without device-mapper.
class Squashfs_container : public Container {
public:
    using Container::Container;
    Image_mount mount_rootfs_image(const char* fstype) override;
    bool remove_verity_device(bool uses_rootfs_overlay) override;

    static bool fail_image;
};

struct Child_result {
    int status = -1;     // exit status, or -1 when killed
    std::string output;  // standard output (log lines and markers)
    std::string error;   // standard error (the exception text)
};

// Runs body in a child whose standard output and error are captured; an
// exception derived from std::exception ends it with status 1 after writing
// its text to standard error, as the program does. extra_path is put in
// front of PATH in the child.
Child_result in_child(const std::function<void()>& body, const std::string& extra_path = "");

Child_result start_container(const std::string& name, std::vector<Mount_request> requests = {},
                             bool detached = false, const std::string& extra_path = "");
Child_result stop_container(const std::string& name, std::vector<Mount_request> requests = {},
                            bool detached = false);

// A shell process whose working directory is dir; killed by kill_process.
pid_t spawn_in(const std::string& dir, const std::string& script = "sleep 100");
void kill_process(pid_t pid);

}  // namespace ql::test
