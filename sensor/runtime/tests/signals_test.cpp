#include "sensor/runtime/signals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <vector>

#include "sensor/common/terminate_flag.h"
#include "sensor/seams/testing/seam_mocks.h"

namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::StrictMock;

struct Installed {
    int signal_number;
    void (*handler)(int);
    bool empty_mask;
    int flags;
};

class Signal_setup : public ::testing::Test {
protected:
    void record(int result_for_term, int result_for_int) {
        EXPECT_CALL(sys, sigaction(_, _, nullptr))
            .Times(2)
            .WillRepeatedly(Invoke([=](int signum, const struct sigaction* act, struct sigaction*) {
                sigset_t empty;
                sigemptyset(&empty);
                bool same = true;
                for (int s = 1; s < NSIG; ++s) {
                    same = same && sigismember(&act->sa_mask, s) == sigismember(&empty, s);
                }
                installed.push_back({signum, act->sa_handler, same, act->sa_flags});
                return signum == SIGTERM ? result_for_term : result_for_int;
            }));
    }

    StrictMock<Mock_Systemcall_API> sys;
    std::vector<Installed> installed;
};

TEST_F(Signal_setup, InstallsTheHandlerForTermThenInt) {
    record(0, 0);
    EXPECT_EQ(register_signal_handlers(sys), 0);
    ASSERT_EQ(installed.size(), 2u);
    EXPECT_EQ(installed[0].signal_number, SIGTERM);
    EXPECT_EQ(installed[1].signal_number, SIGINT);
    for (const auto& one : installed) {
        EXPECT_EQ(one.handler, &signal_handler);
        EXPECT_TRUE(one.empty_mask);
        EXPECT_EQ(one.flags, 0);
    }
}

TEST_F(Signal_setup, AFailedInstallationFailsButBothAreAttempted) {
    record(-1, 0);
    EXPECT_EQ(register_signal_handlers(sys), 1);
    EXPECT_EQ(installed.size(), 2u);
    installed.clear();
    record(0, -1);
    EXPECT_EQ(register_signal_handlers(sys), 1);
    EXPECT_EQ(installed.size(), 2u);
}

TEST(Signal_handler, TermAndIntRequestStopOtherSignalsClearIt) {
    terminate_requested.store(false);
    signal_handler(SIGTERM);
    EXPECT_TRUE(terminate_requested.load());
    signal_handler(SIGUSR1);
    EXPECT_FALSE(terminate_requested.load());
    signal_handler(SIGINT);
    EXPECT_TRUE(terminate_requested.load());
    terminate_requested.store(false);
}

}  // namespace
