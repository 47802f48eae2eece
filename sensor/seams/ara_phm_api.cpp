#include "sensor/seams/ara_phm_api.h"

#include <stdexcept>

#include "ara/log/logging.h"

namespace {

ara::log::Logger& logger() {
    static ara::log::Logger& l = ara::log::CreateLogger("PHM", "health management seam");
    return l;
}

}  // namespace

ARA_PHM_API::ARA_PHM_API() : m_client("ap-ids"), m_entity(m_client) {}

void ARA_PHM_API::CheckpointReached(std::uint16_t supervisionId, std::uint16_t checkpointId) {
    // Health reporting must never take the capture or conntrack thread down.
    try {
        m_entity.CheckpointReached(supervisionId, checkpointId);
    } catch (const std::runtime_error& e) {
        logger().LogError() << "Exception from CheckpointReached [PHM client]: " << e.what();
    } catch (...) {
        logger().LogError() << "Unexpected exception from CheckpointReached [PHM client]:";
    }
}

void ARA_PHM_API::LoopPassed(Supervised_loop loop) noexcept {
    m_loops.passed(static_cast<std::size_t>(loop));
}
