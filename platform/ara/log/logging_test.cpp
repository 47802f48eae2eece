#include "ara/log/logging.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using ara::log::LogLevel;

struct Recorded {
    std::vector<std::pair<LogLevel, std::string>> lines;
    ara::log::ScopedCapture capture{[this](LogLevel l, const std::string& t) { lines.emplace_back(l, t); }};
};

TEST(Logging, ArgumentsFormOneMessageInOrderWithSeverity) {
    ara::log::InitLogging("TEST", "test", LogLevel::kDebug, ara::log::LogMode::kConsole, "");
    Recorded rec;
    auto& logger = ara::log::CreateLogger("T", "test");
    logger.LogError() << "a: " << std::uint8_t{7} << " b: " << -1 << " c: " << 4294967295u << " " << true;
    logger.LogDebug() << "debug " << std::int16_t{-3};
    ASSERT_EQ(rec.lines.size(), 2u);
    EXPECT_EQ(rec.lines[0].first, LogLevel::kError);
    EXPECT_EQ(rec.lines[0].second, "a: 7 b: -1 c: 4294967295 true");
    EXPECT_EQ(rec.lines[1].first, LogLevel::kDebug);
    EXPECT_EQ(rec.lines[1].second, "debug -3");
}

TEST(Logging, MessagesBelowTheThresholdAreNotWritten) {
    ara::log::InitLogging("TEST", "test", LogLevel::kInfo, ara::log::LogMode::kConsole, "");
    Recorded rec;
    auto& logger = ara::log::CreateLogger("T", "test");
    {
        auto stream = logger.LogDebug();
        EXPECT_FALSE(stream.enabled());
        stream << "not shown " << 5;
    }
    logger.LogInfo() << "shown";
    EXPECT_FALSE(logger.IsLogEnabled(LogLevel::kDebug));
    EXPECT_TRUE(logger.IsLogEnabled(LogLevel::kError));
    ASSERT_EQ(rec.lines.size(), 1u);
    EXPECT_EQ(rec.lines[0].second, "shown");
}

TEST(Logging, EnvironmentOverridesTheConfiguredLevel) {
    setenv("ARA_LOG_LEVEL", "error", 1);
    ara::log::InitLogging("TEST", "test", LogLevel::kVerbose, ara::log::LogMode::kConsole, "");
    EXPECT_EQ(ara::log::CurrentLogLevel(), LogLevel::kError);
    setenv("ARA_LOG_LEVEL", "DEBUG", 1);
    ara::log::InitLogging("TEST", "test", LogLevel::kOff, ara::log::LogMode::kConsole, "");
    EXPECT_EQ(ara::log::CurrentLogLevel(), LogLevel::kDebug);
    setenv("ARA_LOG_LEVEL", "nonsense", 1);
    ara::log::InitLogging("TEST", "test", LogLevel::kWarn, ara::log::LogMode::kConsole, "");
    EXPECT_EQ(ara::log::CurrentLogLevel(), LogLevel::kWarn);
    unsetenv("ARA_LOG_LEVEL");
}

}  // namespace
