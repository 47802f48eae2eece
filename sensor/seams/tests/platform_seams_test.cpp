#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ara/exec/test_hooks.h"
#include "ara/log/logging.h"
#include "ara/phm/test_hooks.h"
#include "sensor/seams/ara_em_appclient.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/platform_extensions.h"
#include "sensor/seams/systemcall_api.h"
#include "sensor/seams/testing/log_recorder.h"

namespace {

using ara::log::LogLevel;
using Message = std::pair<LogLevel, std::string>;

TEST(AraPhmApi, ForwardsBothValuesToTheSupervisionEntity) {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> seen;
    ara::phm::test::ScopedCheckpointHook hook(
        [&](std::uint16_t a, std::uint16_t b) { seen.emplace_back(a, b); });
    Log_recorder log;
    ARA_PHM_API api;
    api.CheckpointReached(1, 1);
    api.CheckpointReached(3, 6);
    EXPECT_EQ(seen, (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{1, 1}, {3, 6}}));
    EXPECT_TRUE(log.lines(LogLevel::kError).empty());
}

TEST(AraPhmApi, SwallowsRuntimeErrorWithOneLogLine) {
    ara::phm::test::ScopedCheckpointHook hook(
        [](std::uint16_t, std::uint16_t) { throw std::runtime_error("supervision lost"); });
    Log_recorder log;
    ARA_PHM_API api;
    EXPECT_NO_THROW(api.CheckpointReached(2, 3));
    EXPECT_EQ(log.lines(),
              (std::vector<Message>{
                  {LogLevel::kError, "Exception from CheckpointReached [PHM client]: supervision lost"}}));
}

TEST(AraPhmApi, SwallowsAnyOtherExceptionWithOneLogLine) {
    struct NotStd {};
    for (int kind = 0; kind < 3; ++kind) {
        ara::phm::test::ScopedCheckpointHook hook([kind](std::uint16_t, std::uint16_t) {
            if (kind == 0) throw NotStd{};
            if (kind == 1) throw 42;
            throw std::logic_error("not a runtime error");
        });
        Log_recorder log;
        ARA_PHM_API api;
        EXPECT_NO_THROW(api.CheckpointReached(3, 5));
        EXPECT_EQ(log.lines(),
                  (std::vector<Message>{
                      {LogLevel::kError, "Unexpected exception from CheckpointReached [PHM client]:"}}))
            << "kind " << kind;
    }
}

TEST(AraPhmApi, RuntimeErrorSubclassesCountAsRuntimeErrors) {
    ara::phm::test::ScopedCheckpointHook hook(
        [](std::uint16_t, std::uint16_t) { throw std::overflow_error("too many"); });
    Log_recorder log;
    ARA_PHM_API().CheckpointReached(1, 2);
    EXPECT_EQ(log.lines(LogLevel::kError),
              (std::vector<Message>{
                  {LogLevel::kError, "Exception from CheckpointReached [PHM client]: too many"}}));
}

TEST(AraEmAppclient, ReportsBothStatesAndLogsEach) {
    Log_recorder log;
    ARA_EM_Appclient client;
    EXPECT_EQ(client.ReportApplicationState(ara::exec::ApplicationState::kRunning),
              ara::exec::ApplicationReturnType::kSuccess);
    EXPECT_EQ(client.ReportApplicationState(ara::exec::ApplicationState::kTerminating),
              ara::exec::ApplicationReturnType::kSuccess);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_NE(log.lines()[0].second.find("kRunning"), std::string::npos);
    EXPECT_NE(log.lines()[1].second.find("kTerminating"), std::string::npos);
}

TEST(AraEmAppclient, FailedReportReturnsOne) {
    Log_recorder log;
    ARA_EM_Appclient client;
    {
        ara::exec::test::ScopedReportFailure fail;
        EXPECT_EQ(static_cast<int>(client.ReportApplicationState(ara::exec::ApplicationState::kRunning)), 1);
    }
    EXPECT_TRUE(log.lines(LogLevel::kError).empty());  // whether a failed report is an error is the caller's call
    EXPECT_EQ(client.ReportApplicationState(ara::exec::ApplicationState::kRunning),
              ara::exec::ApplicationReturnType::kSuccess);
}

TEST(SystemcallApi, ForwardsToTheSystem) {
    Systemcall_API api;
    char name[256] = {};
    ASSERT_EQ(api.gethostname(name, sizeof name), 0);
    EXPECT_GT(std::string(name).size(), 0u);

    struct sigaction old {};
    ASSERT_EQ(api.sigaction(SIGUSR2, nullptr, &old), 0);
    EXPECT_EQ(api.sigaction(-1, nullptr, &old), -1);
    EXPECT_EQ(errno, EINVAL);
}

// 32-bit FNV-1a folded to 16 bits as (h >> 16) ^ (h & 0xffff).
constexpr std::uint16_t fold(std::uint32_t h) { return static_cast<std::uint16_t>((h >> 16) ^ (h & 0xffffu)); }

TEST(PlatformExtensions, InstanceIdReadsDecimalAndLowerCaseHex) {
    EXPECT_EQ(platform_extensions::instance_id("42"), 42);
    EXPECT_EQ(platform_extensions::instance_id("0x1f"), 0x1f);
    EXPECT_EQ(platform_extensions::instance_id("0x10"), 16);
    EXPECT_EQ(platform_extensions::instance_id("10"), 10) << "a leading digit alone is not hex";
}

TEST(PlatformExtensions, InstanceIdFoldsTheHashOfANonNumber) {
    EXPECT_EQ(platform_extensions::instance_id("a"), fold(0xe40c292cu));  // FNV-1a("a")
    EXPECT_EQ(platform_extensions::instance_id("foobar"), fold(0xbf9cf968u));  // FNV-1a("foobar")
    EXPECT_NE(platform_extensions::instance_id("12a"), 12) << "trailing garbage is not a number";
}

}  // namespace
