#include "ara/exec/application_client.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ara/exec/test_hooks.h"
#include "ara/log/logging.h"

namespace ara::exec {
namespace {

std::atomic<int>& forced_failures() {
    static std::atomic<int> count{0};
    return count;
}

ara::log::Logger& logger() {
    static ara::log::Logger& l = ara::log::CreateLogger("EXEC", "execution management client");
    return l;
}

const char* notify_text(ApplicationState state) noexcept {
    return state == ApplicationState::kRunning ? "READY=1" : "STOPPING=1";
}

}  // namespace

const char* StateName(ApplicationState state) noexcept {
    switch (state) {
        case ApplicationState::kRunning:
            return "kRunning";
        case ApplicationState::kTerminating:
            return "kTerminating";
    }
    return "unknown";
}

ApplicationClient::ApplicationClient() noexcept = default;
ApplicationClient::~ApplicationClient() = default;

ApplicationReturnType ApplicationClient::ReportApplicationState(ApplicationState state) noexcept {
    logger().LogInfo() << "ReportApplicationState: " << StateName(state);
    if (forced_failures().load() > 0) {
        logger().LogError() << "ReportApplicationState: report of " << StateName(state) << " refused";
        return ApplicationReturnType::kGeneralError;
    }
    if (state != ApplicationState::kRunning && state != ApplicationState::kTerminating) {
        logger().LogError() << "ReportApplicationState: unknown state " << static_cast<unsigned>(state);
        return ApplicationReturnType::kGeneralError;
    }
    // Without NOTIFY_SOCKET sd_notify does nothing and returns 0.
    const int rc = sd_notify(0, notify_text(state));
    if (rc < 0) {
        logger().LogError() << "ReportApplicationState: sd_notify failed: " << std::strerror(-rc);
        return ApplicationReturnType::kGeneralError;
    }
    return ApplicationReturnType::kSuccess;
}

namespace test {

ScopedReportFailure::ScopedReportFailure() noexcept {
    forced_failures().fetch_add(1);
}
ScopedReportFailure::~ScopedReportFailure() {
    forced_failures().fetch_sub(1);
}

}  // namespace test
}  // namespace ara::exec
