// Lets tests intercept checkpoints, e.g. to make CheckpointReached throw.
#pragma once

#include <cstdint>
#include <functional>

namespace ara::phm::test {

// While an object of this class is alive, every CheckpointReached of every
// supervision entity first calls the hook with its two values; whatever the
// hook throws leaves CheckpointReached unchanged, and the checkpoint is then
// not counted. A newer hook takes the place of an older one until it is
// destroyed.
class ScopedCheckpointHook {
public:
    using Hook = std::function<void(std::uint16_t, std::uint16_t)>;
    explicit ScopedCheckpointHook(Hook hook);
    ~ScopedCheckpointHook();
    ScopedCheckpointHook(const ScopedCheckpointHook&) = delete;
    ScopedCheckpointHook& operator=(const ScopedCheckpointHook&) = delete;

private:
    Hook m_previous;
};

}  // namespace ara::phm::test
