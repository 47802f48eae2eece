// Lets tests make state reports fail, to exercise the callers' failure paths.
#pragma once

namespace ara::exec::test {

// While an object of this class is alive, every ReportApplicationState of
// every client fails (returns kGeneralError) after logging its line.
class ScopedReportFailure {
public:
    ScopedReportFailure() noexcept;
    ~ScopedReportFailure();
    ScopedReportFailure(const ScopedReportFailure&) = delete;
    ScopedReportFailure& operator=(const ScopedReportFailure&) = delete;
};

}  // namespace ara::exec::test
