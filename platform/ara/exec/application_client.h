// Stand-in for the platform's execution management client (ara::exec).
// Each state report is written to the log as one line naming the state. When
// the process runs as a systemd service of type notify (NOTIFY_SOCKET set),
// running is also sent as READY=1 and terminating as STOPPING=1.
#pragma once

#include <cstdint>

namespace ara::exec {

enum class ApplicationState : std::uint8_t { kRunning = 0, kTerminating = 1 };

// Result of a state report: kGeneralError (1) means the report failed.
enum class ApplicationReturnType : std::int32_t { kSuccess = 0, kGeneralError = 1 };

const char* StateName(ApplicationState state) noexcept;

class ApplicationClient {
public:
    ApplicationClient() noexcept;
    ~ApplicationClient();
    ApplicationClient(const ApplicationClient&) = delete;
    ApplicationClient& operator=(const ApplicationClient&) = delete;

    ApplicationReturnType ReportApplicationState(ApplicationState state) noexcept;
};

}  // namespace ara::exec
