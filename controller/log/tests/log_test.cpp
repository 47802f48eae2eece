#include "controller/log/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

namespace {

TEST(Log_threshold, environment_values) {
    EXPECT_EQ(3, ql::threshold_from_env(nullptr));
    EXPECT_EQ(0, ql::threshold_from_env("DEBUG"));
    EXPECT_EQ(1, ql::threshold_from_env("INFO"));
    EXPECT_EQ(2, ql::threshold_from_env("WARNING"));
    EXPECT_EQ(4, ql::threshold_from_env("QUIET"));
    // Exact, case-sensitive words only; everything else means errors only.
    EXPECT_EQ(3, ql::threshold_from_env("WARN"));
    EXPECT_EQ(3, ql::threshold_from_env("debug"));
    EXPECT_EQ(3, ql::threshold_from_env(""));
    EXPECT_EQ(3, ql::threshold_from_env("DEBUG "));
}

TEST(Log_prefix, short_form_below_debug_threshold) {
    EXPECT_EQ("INFO  (2024-01-02 03:04:05) ",
              ql::log_prefix(ql::Log_level::INFO, 1, "/a/b/container.cpp", 17, "2024-01-02 03:04:05"));
    EXPECT_EQ("WARN  (T) ", ql::log_prefix(ql::Log_level::WARN, 2, "x.cpp", 1, "T"));
}

TEST(Log_prefix, source_position_at_debug_threshold_and_for_errors) {
    EXPECT_EQ("DEBUG (T container.cpp:17) ",
              ql::log_prefix(ql::Log_level::DEBUG, 0, "/a/b/container.cpp", 17, "T"));
    EXPECT_EQ("INFO  (T system.cpp:9) ", ql::log_prefix(ql::Log_level::INFO, 0, "src/system.cpp", 9, "T"));
    EXPECT_EQ("ERROR (T verity.cpp:250) ",
              ql::log_prefix(ql::Log_level::ERROR, 3, "/x/verity.cpp", 250, "T"));
    EXPECT_EQ("ERROR (T verity.cpp:250) ",
              ql::log_prefix(ql::Log_level::ERROR, 1, "/x/verity.cpp", 250, "T"));
    // A level without a word prints an empty one.
    EXPECT_EQ(" (T) ", ql::log_prefix(ql::Log_level::QUIET, 2, "f.cpp", 1, "T"));
}

TEST(Marker_line, nine_digit_nanoseconds_and_tag) {
    const timespec five{12, 5};
    EXPECT_EQ("12.000000005 STARTING_ADAPTIVE_CONT_web", ql::marker_line(&five, "STARTING", "web"));
    const timespec full{1700000000, 999999999};
    EXPECT_EQ("1700000000.999999999 MOUNTING_ADAPTIVE_CONT_base-rootfs",
              ql::marker_line(&full, "MOUNTING", "base-rootfs"));
    const timespec zero{0, 0};
    EXPECT_EQ("0.000000000 X_ADAPTIVE_CONT_", ql::marker_line(&zero, "X", ""));
    // Without a time stamp the time part is empty; the blank stays.
    EXPECT_EQ(" STOPPING_ADAPTIVE_CONT_db", ql::marker_line(nullptr, "STOPPING", "db"));
}

TEST(Check, throws_expression_and_base_name_only) {
    testing::internal::CaptureStdout();
    std::string what;
    int line = 0;
    try {
        const int mkdir_ret = -1;
        line = __LINE__ + 1;
        QL_CHECK(0 == mkdir_ret, "create directory ", "/x", " failed: ", 13);
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("Assertion `0 == mkdir_ret` failed at log_test.cpp:" + std::to_string(line), what);
    if (ql::log_enabled(ql::Log_level::ERROR)) {
        const std::regex expected("ERROR \\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d log_test\\.cpp:" +
                                  std::to_string(line) + "\\) create directory /x failed: 13\n");
        EXPECT_TRUE(std::regex_match(out, expected)) << out;
    } else {
        EXPECT_EQ("", out);
    }
}

TEST(Check, without_message_writes_no_line) {
    testing::internal::CaptureStdout();
    const void* ctx = nullptr;
    EXPECT_THROW(QL_CHECK(ctx, ""), std::runtime_error);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(Check, passing_check_evaluates_once_and_writes_nothing) {
    testing::internal::CaptureStdout();
    int calls = 0;
    QL_CHECK(++calls == 1, "never written");
    EXPECT_EQ(1, calls);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(Base_name, part_after_last_slash) {
    EXPECT_STREQ("filesystem.cpp", ql::base_name("/build/src/filesystem.cpp"));
    EXPECT_STREQ("baserootfs.cpp", ql::base_name("baserootfs.cpp"));
    EXPECT_STREQ("", ql::base_name("dir/"));
}

}  // namespace
