#include "start_rollback.h"

#include "controller/log/log.h"

#include <exception>
#include <utility>

namespace ql {
namespace {

// An undo step that throws must not stop the ones after it.
template <typename Step>
void run_undo_step(const char* what, Step&& step) noexcept {
    try {
        step();
    } catch (const std::exception& error) {
        LOG_ERROR("rollback of ", what, " failed: ", error.what());
    } catch (...) {
        LOG_ERROR("rollback of ", what, " failed");
    }
}

}  // namespace

Start_rollback::Start_rollback(Start_undo undo) : m_undo(std::move(undo)) {}

Start_rollback::~Start_rollback() { undo(); }

void Start_rollback::image_mounted(bool uses_rootfs_overlay) {
    m_image_mounted = true;
    m_uses_rootfs_overlay = uses_rootfs_overlay;
}

void Start_rollback::data_partition_mounted() { m_data_mounted = true; }

void Start_rollback::smack_rules_loaded() { m_rules_loaded = true; }

void Start_rollback::bind_mounted(const std::string& target) { m_bind_targets.push_back(target); }

void Start_rollback::release() {
    m_image_mounted = false;
    m_data_mounted = false;
    m_rules_loaded = false;
    m_bind_targets.clear();
}

void Start_rollback::undo() noexcept {
    while (!m_bind_targets.empty()) {
        std::string target = std::move(m_bind_targets.back());
        m_bind_targets.pop_back();
        run_undo_step("bind mount", [&] { m_undo.unmount_bind(target); });
    }
    if (m_data_mounted) {
        m_data_mounted = false;
        run_undo_step("data partition", [&] { m_undo.unmount_data_partition(); });
    }
    if (m_rules_loaded) {
        m_rules_loaded = false;
        run_undo_step("smack rules", [&] { m_undo.unload_smack_rules(); });
    }
    if (m_image_mounted) {
        m_image_mounted = false;
        run_undo_step("container image", [&] { m_undo.release_image(m_uses_rootfs_overlay); });
    }
}

}  // namespace ql
