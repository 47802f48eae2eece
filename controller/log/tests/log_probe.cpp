// Test program: writes log lines, markers and a failed check through the log
// facility, so that tests can watch it from outside with different LOGLEVEL values.
#include <cstdio>
#include <exception>
#include <string>

#include "controller/log/log.h"

namespace {

// Blocks until the driver writes a line (or closes standard input).
void wait_for_driver() {
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "lines") {
            LOG_DEBUG("debug line ", 0);
            LOG_INFO("info line ", 1);
            LOG_WARN("warn line ", 2);
            LOG_ERROR("error line ", 3);
            ql::log_marker("PROBE", "probe");
            // Output must already be on its way: standard output is a pipe here.
            wait_for_driver();
            return 0;
        }
        if (mode == "check") {
            const int answer = 41;
            QL_CHECK(answer == 42, "check message ", answer);
            return 0;
        }
        if (mode == "markers") {
            ql::log_marker("FIRST", "probe");
            wait_for_driver();
            ql::log_marker("SECOND", "probe");
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: log_probe lines|check|markers\n");
    return 2;
}
