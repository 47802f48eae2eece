#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <cstdio>
#include <regex>
#include <string>

#include "controller/log/log.h"
#include "controller/system/system.h"

namespace {

bool at_most(ql::Log_level level) { return ql::log_enabled(level); }

// Written by the test process at exit; a child that ran it would put it in the pipe.
void parent_clean_up() { std::fputs("parent clean-up ran\n", stdout); }

// SIGTERM blocked while it lives, as quillon holds its stop requests.
struct Term_blocked {
    Term_blocked() {
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, &previous);
    }
    ~Term_blocked() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    Term_blocked(const Term_blocked&) = delete;
    Term_blocked& operator=(const Term_blocked&) = delete;
    sigset_t set;
    sigset_t previous;
};

class System_command : public testing::Test {
protected:
    ql::System m_sys;
};

TEST_F(System_command, kilobytes_on_both_streams_in_order) {
    // Far more than a pipe holds, alternating between standard output and error.
    const char* argv[] = {"sh", "-c",
                          "i=0; while [ $i -lt 3000 ]; do echo \"out $i\"; "
                          "echo \"err $i ....................................\" >&2; "
                          "i=$((i+1)); done; exit 7",
                          nullptr};
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        expected += "out " + std::to_string(i) + "\n";
        expected += "err " + std::to_string(i) + " ....................................\n";
    }
    testing::internal::CaptureStdout();
    std::string output;
    const int status = m_sys.command(argv, &output);
    const std::string echoed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(7, status);
    EXPECT_EQ(expected, output);
    // At DEBUG the child's output is also written to standard output unchanged.
    EXPECT_EQ(at_most(ql::Log_level::DEBUG) ? expected : std::string(), echoed);
}

TEST_F(System_command, output_is_appended_and_may_be_omitted) {
    const char* argv[] = {"printf", "%s", "second", nullptr};
    std::string output = "first ";
    EXPECT_EQ(0, m_sys.command(argv, &output));
    EXPECT_EQ("first second", output);
    const char* failing[] = {"false", nullptr};
    EXPECT_EQ(1, m_sys.command(failing));
}

TEST_F(System_command, line_longer_than_the_read_buffer_arrives_unchanged) {
    const char* argv[] = {"sh", "-c", "head -c 5000 /dev/zero | tr '\\0' a; echo; echo tail", nullptr};
    std::string output;
    EXPECT_EQ(0, m_sys.command(argv, &output));
    EXPECT_EQ(std::string(5000, 'a') + "\ntail\n", output);
}

TEST_F(System_command, program_not_found_reports_in_the_pipe_and_ends_child) {
    static const bool registered = std::atexit(parent_clean_up) == 0;
    ASSERT_TRUE(registered);
    const char* argv[] = {"quillon-test-no-such-program", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    const int status = m_sys.command(argv, &output);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, status);
    const std::string assertion =
        "Assertion `execvp\\(cmd_argv\\[0\\], cmd_argv\\) > 0` failed at system\\.cpp:\\d+\n";
    const std::string error_line =
        "ERROR \\([-0-9: ]+ system\\.cpp:\\d+\\) execute cmd failed: 2\n";
    const std::string expected = at_most(ql::Log_level::ERROR) ? error_line + assertion : assertion;
    EXPECT_TRUE(std::regex_match(output, std::regex(expected))) << output;
}

TEST_F(System_command, working_directory) {
    char scratch[] = "/tmp/quillon-cwd-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(scratch));
    const char* argv[] = {"pwd", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, m_sys.command(argv, &output, scratch));
    testing::internal::GetCapturedStdout();
    const std::string debug_line =
        std::string("DEBUG \\([-0-9: ]+ system\\.cpp:\\d+\\) change working dir to ") + scratch + "\n";
    const std::string expected =
        (at_most(ql::Log_level::DEBUG) ? debug_line : std::string()) + scratch + "\n";
    EXPECT_TRUE(std::regex_match(output, std::regex(expected))) << output;
    rmdir(scratch);
}

TEST_F(System_command, missing_working_directory_fails_in_the_child) {
    const char* argv[] = {"sh", "-c", "echo must not run", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, m_sys.command(argv, &output, "/quillon-test-no-such-dir"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string::npos, output.find("must not run"));
    EXPECT_TRUE(std::regex_search(
        output, std::regex("ERROR \\([-0-9: ]+ system\\.cpp:\\d+\\) chdir command failed: 2\n"
                           "Assertion `chdir_ret == 0` failed at system\\.cpp:\\d+\n$")))
        << output;
}

TEST_F(System_command, child_killed_by_signal) {
    const char* argv[] = {"sh", "-c", "echo before; kill -KILL $$", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    const int status = m_sys.command(argv, &output);
    const std::string logged = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, status);
    EXPECT_EQ("before\n", output);
    const bool warned = logged.find("unexpected child process status\n") != std::string::npos;
    EXPECT_EQ(at_most(ql::Log_level::WARN), warned) << logged;
    if (warned) {
        EXPECT_TRUE(std::regex_search(logged, std::regex("(^|\n)WARN  \\([-0-9: ]+(\\) | system\\.cpp:\\d+\\) )"
                                                         "unexpected child process status\n")))
            << logged;
    }
}

using Clock = std::chrono::steady_clock;

TEST_F(System_command, descendant_holding_the_pipe_does_not_hold_the_call) {
    // The background sleep keeps the pipe's write end; the shell itself ends at once.
    const char* argv[] = {"sh", "-c", "sleep 3 & echo started; exit 3", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    const auto begin = Clock::now();
    const int status = m_sys.command(argv, &output);
    const auto took = Clock::now() - begin;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(3, status);
    EXPECT_EQ("started\n", output);
    EXPECT_LT(took, std::chrono::seconds(2));
}

TEST_F(System_command, time_limit_kills_the_child_and_its_group) {
    char marker[] = "/tmp/quillon-timeout-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(marker));
    const std::string script = "echo partial; (sleep 3; touch " + std::string(marker) + "/late) & sleep 30";
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    const auto begin = Clock::now();
    const int status = m_sys.command(argv, &output, std::string(), 1);
    const auto took = Clock::now() - begin;
    const std::string logged = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, status);
    EXPECT_EQ("partial\n", output);
    EXPECT_LT(took, std::chrono::seconds(3));
    if (at_most(ql::Log_level::ERROR)) {
        EXPECT_NE(std::string::npos, logged.find("command sh did not finish within 1 s and was killed\n")) << logged;
    }
    sleep(3);
    // The helper in the background was part of the killed group.
    EXPECT_NE(0, access((std::string(marker) + "/late").c_str(), F_OK));
    rmdir(marker);
}

TEST_F(System_command, child_gets_default_signals_and_an_empty_mask) {
    const Term_blocked term;
    const auto previous_pipe = std::signal(SIGPIPE, SIG_IGN);
    const char* argv[] = {"sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, m_sys.command(argv, &output));
    testing::internal::GetCapturedStdout();
    std::signal(SIGPIPE, previous_pipe);
    EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", output);
}

TEST_F(System_command, stop_request_ends_the_group_and_stays_pending) {
    const Term_blocked term;
    char marker[] = "/tmp/quillon-stop-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(marker));
    // The script's helper sends the request; the rest of its group sleeps on.
    const std::string script = "kill -TERM $PPID; (sleep 2; touch " + std::string(marker) + "/late) & sleep 30";
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    testing::internal::CaptureStdout();
    const auto begin = Clock::now();
    const int status = m_sys.command(argv, nullptr, std::string(), 60, ql::System::ends_on_stop_request);
    const auto took = Clock::now() - begin;
    testing::internal::GetCapturedStdout();
    const timespec no_wait{0, 0};
    const int pending = sigtimedwait(&term.set, nullptr, &no_wait);
    EXPECT_EQ(-1, status);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(SIGTERM, pending);
    sleep(2);
    EXPECT_NE(0, access((std::string(marker) + "/late").c_str(), F_OK));
    rmdir(marker);
}

TEST_F(System_command, shared_output_is_not_captured) {
    const char* argv[] = {"sh", "-c", "echo to the terminal; exit 4", nullptr};
    std::string output;
    testing::internal::CaptureStdout();
    const int status = m_sys.command(argv, &output, std::string(), 5, ql::System::shares_output);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(4, status);
    EXPECT_EQ("", output);
    EXPECT_NE(std::string::npos, printed.find("to the terminal\n"));
}

TEST(System_execvp, failure_restores_ignored_signals_and_the_mask) {
    ql::System sys;
    const auto previous_usr1 = std::signal(SIGUSR1, SIG_IGN);
    sigset_t now;
    {
        const Term_blocked term;
        const char* argv[] = {"quillon-test-no-such-program", nullptr};
        EXPECT_EQ(-1, sys.execvp(argv[0], argv));
        sigprocmask(SIG_SETMASK, nullptr, &now);
    }
    struct sigaction usr1 {};
    sigaction(SIGUSR1, nullptr, &usr1);
    std::signal(SIGUSR1, previous_usr1);
    EXPECT_EQ(SIG_IGN, usr1.sa_handler);
    EXPECT_EQ(1, sigismember(&now, SIGTERM));
}

}  // namespace
