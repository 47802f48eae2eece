// Scope-bound record of what a container start has set up so far. Unless
// released, its destructor undoes the completed steps: the bind mounts (last
// first), the data partition, the SMACK rules, then the image.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ql {

struct Start_undo {
    std::function<void(const std::string& target)> unmount_bind;
    std::function<void()> unmount_data_partition;
    std::function<void()> unload_smack_rules;
    std::function<void(bool uses_rootfs_overlay)> release_image;
};

class Start_rollback {
public:
    explicit Start_rollback(Start_undo undo);
    ~Start_rollback();
    Start_rollback(const Start_rollback&) = delete;
    Start_rollback& operator=(const Start_rollback&) = delete;

    void image_mounted(bool uses_rootfs_overlay);
    void data_partition_mounted();
    void smack_rules_loaded();
    void bind_mounted(const std::string& target);

    // Keeps everything set up; the destructor then undoes nothing.
    void release();

    // Undoes the completed steps now (at most once).
    void undo() noexcept;

private:
    Start_undo m_undo;
    bool m_image_mounted = false;
    bool m_uses_rootfs_overlay = false;
    bool m_data_mounted = false;
    bool m_rules_loaded = false;
    std::vector<std::string> m_bind_targets;
};

}  // namespace ql
