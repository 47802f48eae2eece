#include <gtest/gtest.h>

#include <thread>

#include "ara/phm/phm.h"

namespace {

using Checkpoint = std::pair<std::uint16_t, std::uint16_t>;

// The capture thread and the conntrack thread report checkpoints at once.
TEST(PhmThreads, TwoThreadsReportConcurrently) {
    ara::phm::Phm_client client("ap-ids");
    ara::phm::SupervisionEntity entity(client);
    constexpr int kEach = 20000;
    auto report = [&](std::uint16_t se, std::uint16_t a, std::uint16_t b) {
        for (int i = 0; i < kEach; ++i) {
            entity.CheckpointReached(se, (i % 2) ? b : a);
        }
    };
    std::thread capture(report, 1, 1, 2);
    std::thread conntrack(report, 3, 5, 6);
    capture.join();
    conntrack.join();
    EXPECT_EQ(entity.checkpoints_reached(), 2u * kEach);
    const auto last = entity.last_checkpoint();
    EXPECT_TRUE((last == Checkpoint(1, 2) || last == Checkpoint(3, 6)));
}

}  // namespace
