#include "ara/phm/phm.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "ara/phm/test_hooks.h"

namespace {

using Checkpoint = std::pair<std::uint16_t, std::uint16_t>;

using ara::phm::Phm_client;
using ara::phm::SupervisionEntity;
using ara::phm::test::ScopedCheckpointHook;

TEST(Phm, EntityCountsCheckpointsAndKeepsTheLast) {
    Phm_client client("ap-ids");
    EXPECT_EQ(client.name(), "ap-ids");
    SupervisionEntity entity(client);
    EXPECT_EQ(entity.checkpoints_reached(), 0u);
    entity.CheckpointReached(1, 1);
    entity.CheckpointReached(2, 4);
    EXPECT_EQ(entity.checkpoints_reached(), 2u);
    EXPECT_EQ(entity.last_checkpoint(), Checkpoint(2, 4));
}

TEST(Phm, HookCanThrowAnyKindAndIsRemovedAfterItsScope) {
    Phm_client client("ap-ids");
    SupervisionEntity entity(client);
    {
        ScopedCheckpointHook hook([](std::uint16_t, std::uint16_t) { throw std::runtime_error("down"); });
        EXPECT_THROW(entity.CheckpointReached(1, 1), std::runtime_error);
        {
            ScopedCheckpointHook inner([](std::uint16_t, std::uint16_t) { throw 5; });
            EXPECT_THROW(entity.CheckpointReached(1, 1), int);
        }
        EXPECT_THROW(entity.CheckpointReached(1, 1), std::runtime_error);  // outer hook is back
    }
    EXPECT_EQ(entity.checkpoints_reached(), 0u);  // thrown checkpoints are not counted
    EXPECT_NO_THROW(entity.CheckpointReached(3, 5));
    EXPECT_EQ(entity.checkpoints_reached(), 1u);
}

}  // namespace
