#include "ara/phm/alive_watchdog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ara/test/notify_socket.h"

namespace {

using namespace std::chrono_literals;
using ara::phm::Alive_supervision;
using ara::phm::Alive_watchdog;

constexpr std::size_t kCapture = 0;
constexpr std::size_t kConntrack = 1;

// Both loops wake every 100 ms; the window is half a 400 ms period.
TEST(AliveSupervision, IdleLoopsStayAliveAndAStoppedLoopIsSeenAfterOneWindow) {
    const Alive_supervision::Clock::time_point start{};
    Alive_supervision supervision(2, 200ms, start);
    EXPECT_TRUE(supervision.alive(start + 200ms));  // each has one window for its first pass
    EXPECT_FALSE(supervision.alive(start + 201ms));

    for (auto t = 100ms; t <= 1000ms; t += 100ms) {
        supervision.pass(kCapture, start + t);
        supervision.pass(kConntrack, start + t);
        EXPECT_TRUE(supervision.alive(start + t + 150ms)) << t.count();
    }
    // The conntrack loop hangs after its pass at 1000 ms; capture goes on.
    for (auto t = 1100ms; t <= 1500ms; t += 100ms) {
        supervision.pass(kCapture, start + t);
    }
    EXPECT_TRUE(supervision.alive(start + 1200ms));
    EXPECT_FALSE(supervision.alive(start + 1201ms));
    EXPECT_FALSE(supervision.alive(start + 1500ms));
    supervision.pass(kConntrack, start + 1500ms);
    EXPECT_TRUE(supervision.alive(start + 1500ms));
    supervision.pass(7, start + 5000ms);  // no such loop: nothing changes
    EXPECT_FALSE(supervision.alive(start + 1800ms));
}

class AliveWatchdog : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("WATCHDOG_USEC");
        unsetenv("NOTIFY_SOCKET");
    }
};

TEST_F(AliveWatchdog, OutsideTheServiceManagerNothingIsSupervised) {
    unsetenv("WATCHDOG_USEC");
    Alive_watchdog watchdog(2);
    EXPECT_FALSE(watchdog.enabled());
    watchdog.pass(kCapture);
}

TEST_F(AliveWatchdog, PingsOnlyWhileEveryLoopTurns) {
    ara::test::Notify_socket manager;
    ASSERT_TRUE(manager.bound());
    setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);

    std::atomic<bool> conntrack_hangs{false};
    std::atomic<bool> done{false};
    Alive_watchdog watchdog(2);
    ASSERT_TRUE(watchdog.enabled());
    // Idle loops: one pass per 100 ms wake-up.
    std::thread loops([&] {
        while (!done.load()) {
            watchdog.pass(kCapture);
            if (!conntrack_hangs.load()) {
                watchdog.pass(kConntrack);
            }
            std::this_thread::sleep_for(100ms);
        }
    });

    EXPECT_EQ(manager.receive(), "WATCHDOG=1");
    EXPECT_EQ(manager.receive(), "WATCHDOG=1");

    conntrack_hangs.store(true);
    // Pings decided before the window ran out may still be on their way.
    std::this_thread::sleep_for(400ms);
    manager.drain();
    EXPECT_EQ(manager.receive(1s), "<nothing>");

    conntrack_hangs.store(false);
    EXPECT_EQ(manager.receive(), "WATCHDOG=1");
    done.store(true);
    loops.join();
}

}  // namespace
