#include "controller/log/log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace ql {

namespace {

const char* level_word(Log_level level) {
    switch (level) {
        case Log_level::DEBUG:
            return "DEBUG";
        case Log_level::INFO:
            return "INFO ";
        case Log_level::WARN:
            return "WARN ";
        case Log_level::ERROR:
            return "ERROR";
        default:
            return "";
    }
}

// The threshold is read once; the function-local static makes it safe to log
// from other static initialisers, and the namespace-scope copy below makes sure
// LOGLEVEL is read before main even when nothing logs early.
int threshold_once() {
    static const int threshold = threshold_from_env(std::getenv("LOGLEVEL"));
    return threshold;
}

[[maybe_unused]] const int threshold_at_start = threshold_once();

struct Marker_clock {
    bool chosen = false;
    clockid_t clock = CLOCK_REALTIME;
};

Marker_clock marker_clock;

const char* const ptp_devices[] = {"e61d0000.sucmt", "e6800000.ptp"};

// Dynamic POSIX clock of an open clock device descriptor.
clockid_t clock_of_descriptor(int fd) {
    return static_cast<clockid_t>((static_cast<unsigned int>(~fd) << 3) | 3);
}

}  // namespace

int threshold_from_env(const char* value) {
    if (value == nullptr) {
        return static_cast<int>(Log_level::ERROR);
    }
    if (std::strcmp(value, "DEBUG") == 0) {
        return static_cast<int>(Log_level::DEBUG);
    }
    if (std::strcmp(value, "INFO") == 0) {
        return static_cast<int>(Log_level::INFO);
    }
    if (std::strcmp(value, "WARNING") == 0) {
        return static_cast<int>(Log_level::WARN);
    }
    if (std::strcmp(value, "QUIET") == 0) {
        return static_cast<int>(Log_level::QUIET);
    }
    return static_cast<int>(Log_level::ERROR);
}

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

std::string log_prefix(Log_level level, int threshold, const char* file, int line,
                       const std::string& local_time) {
    std::string prefix = level_word(level);
    prefix += " (";
    prefix += local_time;
    if (threshold == static_cast<int>(Log_level::DEBUG) || level == Log_level::ERROR) {
        prefix += " ";
        prefix += base_name(file);
        prefix += ":";
        prefix += std::to_string(line);
    }
    prefix += ") ";
    return prefix;
}

std::string marker_line(const timespec* stamp, const std::string& event,
                        const std::string& log_name) {
    std::string text;
    if (stamp != nullptr) {
        char nanoseconds[16];
        std::snprintf(nanoseconds, sizeof nanoseconds, "%09ld", static_cast<long>(stamp->tv_nsec));
        text = std::to_string(static_cast<long long>(stamp->tv_sec)) + "." + nanoseconds;
    }
    return text + " " + event + "_ADAPTIVE_CONT_" + log_name;
}

int log_threshold() { return threshold_once(); }

bool log_enabled(Log_level level) { return static_cast<int>(level) >= log_threshold(); }

void write_log_line(Log_level level, const char* file, int line, const std::string& text) {
    char local_time[80] = "";
    const time_t now = time(nullptr);
    const struct tm* parts = localtime(&now);
    if (parts != nullptr) {
        strftime(local_time, sizeof local_time, "%Y-%m-%d %H:%M:%S", parts);
    }
    const std::string out = log_prefix(level, log_threshold(), file, line, local_time) + text + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void check_failed(const char* expression, const char* file, int line, const std::string& message) {
    // Some checks carry no message of their own; they throw without a log line.
    if (!message.empty() && log_enabled(Log_level::ERROR)) {
        write_log_line(Log_level::ERROR, file, line, message);
    }
    throw std::runtime_error(std::string("Assertion `") + expression + "` failed at " +
                             base_name(file) + ":" + std::to_string(line));
}

void choose_marker_clock() {
    namespace fs = std::filesystem;
    marker_clock.chosen = true;
    marker_clock.clock = CLOCK_REALTIME;
    for (const char* device : ptp_devices) {
        const fs::path directory = fs::path("/sys/devices/platform/soc/") / device / "ptp";
        if (!fs::exists(directory)) {
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
            const std::string node = "/dev/" + entry.path().filename().string();
            // Kept open for the life of the process: the clock id refers to it.
            const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                marker_clock.clock = clock_of_descriptor(fd);
                return;
            }
        }
    }
}

void log_marker(const std::string& event, const std::string& log_name) {
    if (log_threshold() == static_cast<int>(Log_level::QUIET)) {
        return;
    }
    if (!marker_clock.chosen) {
        choose_marker_clock();
    }
    timespec stamp{};
    const bool stamped = clock_gettime(marker_clock.clock, &stamp) == 0;
    const std::string out = marker_line(stamped ? &stamp : nullptr, event, log_name) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

}  // namespace ql
