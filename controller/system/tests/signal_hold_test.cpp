#include "controller/system/signal_hold.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <stdexcept>
#include <string>

namespace {

bool blocked(int number) {
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, number) == 1;
}

TEST(Signal_hold, HeldRequestEndsTheStepAfterItAndTheMaskComesBack) {
    ASSERT_FALSE(blocked(SIGTERM));
    {
        const ql::Signal_hold hold;
        EXPECT_TRUE(blocked(SIGTERM));
        EXPECT_TRUE(blocked(SIGINT));
        EXPECT_TRUE(blocked(SIGHUP));
        EXPECT_NO_THROW(ql::stop_if_signalled());
        // Held, not delivered: the process goes on to the check.
        raise(SIGHUP);
        testing::internal::CaptureStdout();
        try {
            ql::stop_if_signalled();
            ADD_FAILURE() << "no stop for a pending SIGHUP";
        } catch (const std::runtime_error& error) {
            EXPECT_THAT(error.what(), testing::StartsWith("Assertion `signal_number <= 0` failed at signal_hold.cpp:"));
        }
        testing::internal::GetCapturedStdout();
        // Taken by the check: the next one passes.
        EXPECT_NO_THROW(ql::stop_if_signalled());
    }
    EXPECT_FALSE(blocked(SIGTERM));
}

TEST(Signal_hold, ARequestAfterTheLastCheckStaysHeld) {
    {
        const ql::Signal_hold hold;
        raise(SIGINT);
    }
    // Unblocking would end the test process now.
    EXPECT_TRUE(blocked(SIGINT));
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    const timespec no_wait{0, 0};
    EXPECT_EQ(SIGINT, sigtimedwait(&set, nullptr, &no_wait));
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace
