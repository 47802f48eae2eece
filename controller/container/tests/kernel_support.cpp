#include "kernel_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "controller/system/filesystem.h"
#include "controller/system/system.h"

namespace ql::test {

namespace fs = std::filesystem;

std::string read_text(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_text(const std::string& path, const std::string& text, unsigned mode) {
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream file(path, std::ios::trunc);
        file << text;
    }
    fs::permissions(path, static_cast<fs::perms>(mode));
}

void run_shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

void build_image(const std::string& name, const Image_files& files) {
    const std::string stage = "/tmp/stage-" + name;
    fs::remove_all(stage);
    fs::create_directories(stage + "/rootfs");
    for (const auto& [path, file] : files) {
        if (!path.empty() && path.back() == '/') {
            fs::create_directories(stage + "/" + path);
        } else {
            write_text(stage + "/" + path, file.first, file.second);
        }
    }
    const std::string dir = "/containers/target/" + name;
    fs::create_directories(dir);
    const std::string image = dir + "/" + name + ".rootfs.squashfs-xz-dmverity";
    fs::remove(image);
    run_shell("mksquashfs " + stage + " " + image + " -noappend -quiet -no-progress >/dev/null");
    fs::remove_all(stage);
}

namespace {

std::vector<std::vector<std::string>> mountinfo() {
    std::vector<std::vector<std::string>> entries;
    std::istringstream table(read_text("/proc/self/mountinfo"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::vector<std::string> entry;
        std::string field;
        while (fields >> field) {
            entry.push_back(field);
        }
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(read_text(path));
    std::string line;
    while (std::getline(text, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::vector<std::string> mount_targets() {
    std::vector<std::string> targets;
    for (const auto& entry : mountinfo()) {
        if (entry.size() > 4) {
            targets.push_back(entry[4]);
        }
    }
    return targets;
}

bool is_mounted(const std::string& target) {
    for (const std::string& mounted : mount_targets()) {
        if (mounted == target) {
            return true;
        }
    }
    return false;
}

std::string mount_options(const std::string& target) {
    std::string options;
    for (const auto& entry : mountinfo()) {
        if (entry.size() > 4 && entry[4] == target) {
            options = entry[5] + " " + entry.back();
        }
    }
    return options;
}

std::vector<std::string> loop_backing_files() {
    std::vector<std::string> files;
    for (const auto& device : fs::directory_iterator("/sys/block")) {
        const std::string backing = device.path().string() + "/loop/backing_file";
        if (device.path().filename().string().rfind("loop", 0) == 0 && fs::exists(backing)) {
            std::string file = read_text(backing);
            while (!file.empty() && file.back() == '\n') {
                file.pop_back();
            }
            files.push_back(file);
        }
    }
    return files;
}

std::vector<std::string> leftovers(const std::string& name,
                                   const std::vector<std::string>& extra_targets) {
    std::vector<std::string> found;
    const std::string run_dir = "/run/containers/" + name + "/";
    for (const std::string& target : mount_targets()) {
        if (target.rfind(run_dir, 0) == 0) {
            found.push_back("mount " + target);
        }
        for (const std::string& extra : extra_targets) {
            if (target == extra) {
                found.push_back("mount " + target);
            }
        }
    }
    for (const std::string& file : loop_backing_files()) {
        if (file.rfind("/containers/target/" + name + "/", 0) == 0 ||
            file.rfind("/data/containerdata/" + name, 0) == 0) {
            found.push_back("loop " + file);
        }
    }
    return found;
}

void reset_fakes() {
    fs::remove_all("/run/fake-runc");
    fs::remove_all("/run/fake-smackload");
    fs::create_directories("/run/fake-runc");
    fs::create_directories("/run/fake-smackload");
}

std::vector<std::string> runc_calls() { return lines_of("/run/fake-runc/calls"); }
std::vector<std::string> smackload_calls() { return lines_of("/run/fake-smackload/calls"); }

bool Squashfs_container::fail_image = false;

Image_mount Squashfs_container::mount_rootfs_image(const char* fstype) {
    if (fail_image) {
        throw std::runtime_error("image refused");
    }
    static System sys;
    Filesystem files;
    files.create_directory(content_dir());
    sys.mount(image(), content_dir(), MS_RDONLY, nullptr, fstype != nullptr ? fstype : "squashfs");
    Image_mount mounted(sys, nullptr);
    mounted.add_mount(content_dir(), true);
    if (files.exists("/run/base-rootfs/rootfs")) {
        const std::string options = "lowerdir=" + rootfs_dir() + ":/run/base-rootfs/rootfs";
        sys.mount("overlay", rootfs_dir(), MS_RDONLY, options.c_str(), "overlay");
        mounted.add_mount(rootfs_dir());
    }
    return mounted;
}

bool Squashfs_container::remove_verity_device(bool uses_rootfs_overlay) {
    System sys;
    if (uses_rootfs_overlay) {
        sys.umount(rootfs_dir(), false);
    }
    sys.umount(content_dir(), true);
    // Stands for the device: gone once nothing is mounted from the image.
    for (const std::string& file : loop_backing_files()) {
        if (file == image()) {
            return false;
        }
    }
    return true;
}

Child_result in_child(const std::function<void()>& body, const std::string& extra_path) {
    std::fflush(stdout);
    std::fflush(stderr);
    const std::string out_path = "/tmp/child.out";
    const std::string err_path = "/tmp/child.err";
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!extra_path.empty()) {
            ::setenv("PATH", (extra_path + ":" + std::getenv("PATH")).c_str(), 1);
        }
        int status = 0;
        try {
            body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            status = 1;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(status);
    }
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);
    Child_result result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    result.output = read_text(out_path);
    result.error = read_text(err_path);
    return result;
}

Child_result start_container(const std::string& name, std::vector<Mount_request> requests,
                             bool detached, const std::string& extra_path) {
    return in_child(
        [&] {
            Squashfs_container container(name, requests, true, detached);
            container.start(nullptr);
        },
        extra_path);
}

Child_result stop_container(const std::string& name, std::vector<Mount_request> requests,
                            bool detached) {
    return in_child([&] {
        Squashfs_container container(name, requests, false, detached);
        container.stop();
    });
}

pid_t spawn_in(const std::string& dir, const std::string& script) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(127);
        }
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Give the shell time to settle in its directory.
    ::usleep(200 * 1000);
    return pid;
}

void kill_process(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace ql::test
