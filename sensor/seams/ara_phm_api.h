// Seam to the platform's health management.
#pragma once

#include <cstdint>

#include "ara/phm/phm.h"

class ARA_PHM_API_Interface {
public:
    virtual ~ARA_PHM_API_Interface() = default;
    // Never throws; a failure of the platform call is logged.
    virtual void CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId) = 0;
};

class ARA_PHM_API : public ARA_PHM_API_Interface {
public:
    ARA_PHM_API();
    void CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId) override;

private:
    // Declaration order matters: the entity is built on the client and
    // destroyed before it.
    ara::phm::Phm_client m_client;
    ara::phm::SupervisionEntity m_entity;
};
