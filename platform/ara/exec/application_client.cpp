#include "ara/exec/application_client.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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
    // One log line per report: info when it was taken, warn when it failed
    // (the caller decides whether a failure is an error).
    const char* failure = nullptr;
    std::string reason;
    if (forced_failures().load() > 0) {
        failure = "refused";
    } else if (state != ApplicationState::kRunning && state != ApplicationState::kTerminating) {
        failure = "unknown state";
    } else {
        // Without NOTIFY_SOCKET sd_notify does nothing and returns 0.
        const int rc = sd_notify(0, notify_text(state));
        if (rc < 0) {
            failure = "service manager not reached: ";
            reason = std::strerror(-rc);
        }
    }
    if (failure != nullptr) {
        logger().LogWarn() << "ReportApplicationState: " << StateName(state) << " failed, " << failure
                           << reason;
        return ApplicationReturnType::kGeneralError;
    }
    logger().LogInfo() << "ReportApplicationState: " << StateName(state);
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
