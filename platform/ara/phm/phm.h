// Stand-in for the platform's health management client (ara::phm).
// A supervision entity counts the checkpoints it is told about; it may be
// called from several threads at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

namespace ara::phm {

class Phm_client {
public:
    explicit Phm_client(std::string name);
    ~Phm_client();
    Phm_client(const Phm_client&) = delete;
    Phm_client& operator=(const Phm_client&) = delete;

    const std::string& name() const noexcept { return m_name; }

private:
    std::string m_name;
};

class SupervisionEntity {
public:
    explicit SupervisionEntity(Phm_client& client);
    ~SupervisionEntity();
    SupervisionEntity(const SupervisionEntity&) = delete;
    SupervisionEntity& operator=(const SupervisionEntity&) = delete;

    // May throw when the platform cannot take the checkpoint.
    void CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId);

    std::uint64_t checkpoints_reached() const;
    // Last checkpoint reported, as (supervision id, checkpoint id); (0, 0) before the first.
    std::pair<std::uint16_t, std::uint16_t> last_checkpoint() const;

private:
    Phm_client& m_client;
    mutable std::mutex m_mutex;
    std::uint64_t m_count = 0;
    std::uint16_t m_lastSupervision = 0;
    std::uint16_t m_lastCheckpoint = 0;
};

}  // namespace ara::phm
