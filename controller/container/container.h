// One container: its name, options, the paths derived from the name, and the
// mounting of its verified root file system image.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "controller/container/mount_request.h"
#include "controller/container/container_status.h"
#include "controller/container/smack_label.h"
#include "controller/container/start_steps.h"
#include "controller/system/filesystem.h"
#include "controller/system/system.h"
#include "controller/verity/image_mount.h"
#include "controller/verity/verity.h"

namespace ql {

class Container {
public:
    // starting tells a start ("STARTING" marker) from a stop ("STOPPING").
    Container(std::string name, std::vector<Mount_request> mount_requests, bool starting, bool detached);
    virtual ~Container();
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    // Mounts the verified image read-only at the content directory and, when
    // the base root file system is mounted (under the base lock, shared), a
    // read-only overlay of the rootfs directory over it. Raises on failure after undoing what it had
    // set up; the result undoes it all unless released.
    virtual Image_mount mount_rootfs_image(const char* fstype);

    // Unmounts the overlay (when used) and the content directory, then removes
    // the device; true when the device is gone.
    virtual bool remove_verity_device(bool uses_rootfs_overlay);

    // Mounts the image and the data partition, loads the SMACK rules, runs
    // "pre-start.sh", makes the bind mounts and replaces the process by
    // "runc run" (detached: runs "runc run --detach" and returns when it
    // succeeded). Returns only without "config.json" or after a detached
    // start; every failure and every stop request (SIGTERM, SIGINT, SIGHUP,
    // held until the running step ends) undoes the completed steps and
    // raises. Refuses a container that is already started without touching
    // it.
    void start(const char* fstype);

    // Stops the container in runc (killing it with detached), waits for
    // processes to leave its files, runs "post-stop.sh", unloads the SMACK
    // rules and releases every mount and the device. Raises on failure; can be
    // repeated after a partial start or stop.
    void stop();

    // The mounted data partition; an empty owner when the container declares
    // none ("meta.sh" with "DATASIZEMB"); raises on failure.
    Mount_owner setup_data_partition();

    // Bind mounts every request: sources resolved beneath the content
    // directory (or the data partition), no symbolic link in a target, the
    // mount made through the opened descriptors. Raises on a refused path.
    Bind_mounts make_bind_mounts();

    // Whether the image or device of this container is in use (a start
    // that went through, or one that is still running).
    bool is_started();

    // Runs an optional container script in the container directory, in its
    // own process group for at most 120 s (a stop request ends it at once);
    // problems of the script are warnings only.
    void run_script(const std::string& path);

    // What runc says about the container; raises when runc's answer is neither
    // a state nor " does not exist".
    Container_status get_status();

    // Loads "smack-rules" when the container has one; raises when the loader
    // fails (after unloading what it may have taken). The result unloads them
    // unless released; empty without a rules file.
    Smack_rules load_smack_rules();
    // Unloads them again; a loader failure is logged and gives false.
    bool unload_smack_rules();
    // The SMACK label of this process, empty without SMACK; raises when it is
    // malformed.
    std::string check_smack_label(const Smack_interfaces& interfaces = Smack_interfaces()) const;

    // Kills (when running), waits for, and deletes the runc container; raises
    // when runc still knows it afterwards.
    void stop_runc_container();

    struct Mount_state {
        bool data_mounted = false;
        bool uses_rootfs_overlay = false;
        // Device numbers of the container's own mounts (image, overlay, data).
        std::vector<std::uint64_t> devices;
    };
    // Unmounts stray mounts below the content directory or showing the
    // container's devices; tells whether the data partition and the overlay
    // are mounted. Raises when the mount table cannot be read.
    Mount_state sweep_mounts();

    const std::string& name() const { return m_name; }
    const std::string& log_name() const { return m_name; }
    bool detached() const { return m_detached; }
    const std::vector<Mount_request>& mount_requests() const { return m_mount_requests; }
    const std::string& xz_image() const { return m_xz_image; }
    const std::string& lzo_image() const { return m_lzo_image; }
    const std::string& image() const { return m_container; }
    const std::string& container_dir() const { return m_container_dir; }
    const std::string& content_dir() const { return m_content_dir; }
    const std::string& rootfs_dir() const { return m_rootfs_dir; }
    const std::string& runtime_config() const { return m_runtime_config; }
    const std::string& data_mnt() const { return m_data_mnt; }

private:
    void create_data_partition(const std::string& image, unsigned long long size_mb);
    // Runs runc with the arguments after "runc" under its time limit.
    int run_runc(std::initializer_list<const char*> arguments, std::string* output = nullptr);
    // Waits, bounded, for processes whose working directory lies inside the
    // content directory, then deletes the container from runc.
    void wait_for_container_processes();
    // ERROR lines for every mount that still shows the container's devices
    // or lies below its directories; true when there is none.
    bool nothing_left_mounted(const std::vector<std::uint64_t>& devices);

    std::string m_name;
    bool m_detached;
    std::vector<Mount_request> m_mount_requests;
    std::unique_ptr<System> m_sys;
    std::unique_ptr<Filesystem> m_fs;
    std::string m_xz_image;
    std::string m_lzo_image;
    std::string m_container;       // the image in use: lzo when present, else xz
    std::string m_container_dir;   // "/containers/target/<name>"
    std::string m_content_dir;     // mount point of the image
    std::string m_rootfs_dir;      // the container's root file system inside it
    std::string m_runtime_config;  // the runtime's "config.json"
    std::string m_data_mnt;        // mount point of the data partition
    std::unique_ptr<Verity> m_verity;
};

}  // namespace ql
