#include "ara/exec/application_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "ara/exec/test_hooks.h"
#include "ara/log/logging.h"
#include "ara/test/notify_socket.h"

namespace {

using ara::exec::ApplicationClient;
using ara::exec::ApplicationReturnType;
using ara::exec::ApplicationState;
using ara::log::LogLevel;

class ApplicationClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ara::log::InitLogging("TEST", "exec test", LogLevel::kDebug, ara::log::LogMode::kConsole, "");
        unsetenv("NOTIFY_SOCKET");
    }
    void TearDown() override { unsetenv("NOTIFY_SOCKET"); }

    std::vector<std::pair<LogLevel, std::string>> m_log;
    ara::log::ScopedCapture m_capture{
        [this](LogLevel level, const std::string& text) { m_log.emplace_back(level, text); }};
};

TEST_F(ApplicationClientTest, EachReportIsOneLogLineNamingTheState) {
    ApplicationClient client;
    EXPECT_EQ(client.ReportApplicationState(ApplicationState::kRunning), ApplicationReturnType::kSuccess);
    EXPECT_EQ(client.ReportApplicationState(ApplicationState::kTerminating), ApplicationReturnType::kSuccess);
    ASSERT_EQ(m_log.size(), 2u);
    EXPECT_EQ(m_log[0], std::make_pair(LogLevel::kInfo, std::string("ReportApplicationState: kRunning")));
    EXPECT_EQ(m_log[1], std::make_pair(LogLevel::kInfo, std::string("ReportApplicationState: kTerminating")));
    EXPECT_EQ(static_cast<int>(ApplicationState::kRunning), 0);
    EXPECT_EQ(static_cast<int>(ApplicationState::kTerminating), 1);
}

TEST_F(ApplicationClientTest, ServiceManagerIsToldReadyAndStopping) {
    ara::test::Notify_socket manager;
    ASSERT_TRUE(manager.bound());
    setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
    ApplicationClient client;
    EXPECT_EQ(client.ReportApplicationState(ApplicationState::kRunning), ApplicationReturnType::kSuccess);
    EXPECT_EQ(manager.receive(), "READY=1");
    EXPECT_EQ(client.ReportApplicationState(ApplicationState::kTerminating), ApplicationReturnType::kSuccess);
    EXPECT_EQ(manager.receive(), "STOPPING=1");
}

TEST_F(ApplicationClientTest, UnreachableServiceManagerFailsTheReport) {
    setenv("NOTIFY_SOCKET", "/nonexistent-dir/notify", 1);
    ApplicationClient client;
    EXPECT_EQ(client.ReportApplicationState(ApplicationState::kRunning),
              ApplicationReturnType::kGeneralError);
    ASSERT_EQ(m_log.size(), 1u);
    EXPECT_EQ(m_log[0].first, LogLevel::kWarn);
    EXPECT_EQ(
        m_log[0].second.rfind("ReportApplicationState: kRunning failed, service manager not reached: ", 0),
        0u)
        << m_log[0].second;
}

TEST_F(ApplicationClientTest, TestHookMakesReportsFailWhileAlive) {
    ApplicationClient client;
    {
        ara::exec::test::ScopedReportFailure failure;
        EXPECT_EQ(client.ReportApplicationState(ApplicationState::kRunning),
                  ApplicationReturnType::kGeneralError);
        EXPECT_EQ(client.ReportApplicationState(ApplicationState::kTerminating),
                  ApplicationReturnType::kGeneralError);
    }
    EXPECT_EQ(client.ReportApplicationState(ApplicationState::kRunning), ApplicationReturnType::kSuccess);
    EXPECT_EQ(m_log, (std::vector<std::pair<LogLevel, std::string>>{
                         {LogLevel::kWarn, "ReportApplicationState: kRunning failed, refused"},
                         {LogLevel::kWarn, "ReportApplicationState: kTerminating failed, refused"},
                         {LogLevel::kInfo, "ReportApplicationState: kRunning"},
                     }));
}

TEST_F(ApplicationClientTest, UnknownStateIsRefused) {
    ApplicationClient client;
    EXPECT_EQ(client.ReportApplicationState(static_cast<ApplicationState>(7)),
              ApplicationReturnType::kGeneralError);
    ASSERT_EQ(m_log.size(), 1u);
    EXPECT_EQ(m_log[0].second, "ReportApplicationState: unknown failed, unknown state");
}

}  // namespace
