// Seam to the platform's health management.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ara/phm/phm.h"
#include "sensor/seams/platform_extensions.h"

// The worker loops whose turning the platform supervises.
enum class Supervised_loop : std::size_t { capture = 0, conntrack = 1 };

class ARA_PHM_API_Interface {
public:
    virtual ~ARA_PHM_API_Interface() = default;
    // Never throws; a failure of the platform call is logged.
    virtual void CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId) = 0;
    // Called once per pass of a worker loop, from that loop's thread; must be
    // cheap. A platform without alive supervision ignores it.
    virtual void LoopPassed(Supervised_loop) noexcept {}
};

class ARA_PHM_API : public ARA_PHM_API_Interface {
public:
    ARA_PHM_API();
    void CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId) override;
    void LoopPassed(Supervised_loop loop) noexcept override;

private:
    // Declaration order matters: the entity is built on the client and
    // destroyed before it.
    ara::phm::Phm_client m_client;
    ara::phm::SupervisionEntity m_entity;
    // Under a service manager's watchdog, pings only while both loops turn.
    platform_extensions::Loop_supervision m_loops{2};
};
