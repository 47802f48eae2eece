#include "ara/phm/phm.h"

#include "ara/phm/test_hooks.h"

namespace ara::phm {
namespace {

struct HookState {
    std::mutex mutex;
    test::ScopedCheckpointHook::Hook hook;
};

HookState& hook_state() {
    static HookState s;
    return s;
}

test::ScopedCheckpointHook::Hook current_hook() {
    HookState& s = hook_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.hook;
}

}  // namespace

Phm_client::Phm_client(std::string name) : m_name(std::move(name)) {}
Phm_client::~Phm_client() = default;

SupervisionEntity::SupervisionEntity(Phm_client& client) : m_client(client) {}
SupervisionEntity::~SupervisionEntity() = default;

void SupervisionEntity::CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId) {
    // The hook runs outside every lock so that it may block or throw freely.
    if (auto hook = current_hook()) {
        hook(supervisionId, checkpointId);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    m_lastSupervision = supervisionId;
    m_lastCheckpoint = checkpointId;
}

std::uint64_t SupervisionEntity::checkpoints_reached() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

std::pair<std::uint16_t, std::uint16_t> SupervisionEntity::last_checkpoint() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_lastSupervision, m_lastCheckpoint};
}

namespace test {

ScopedCheckpointHook::ScopedCheckpointHook(Hook hook) {
    HookState& s = hook_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    m_previous = std::move(s.hook);
    s.hook = std::move(hook);
}

ScopedCheckpointHook::~ScopedCheckpointHook() {
    HookState& s = hook_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.hook = std::move(m_previous);
}

}  // namespace test
}  // namespace ara::phm
