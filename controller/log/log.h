// quillon's levelled log, assertion check and boot-time markers.
// Process-wide; the threshold comes from LOGLEVEL before main runs.
#pragma once

#include <ctime>
#include <sstream>
#include <string>

namespace ql {

enum class Log_level : int { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3, QUIET = 4 };

// The threshold read from LOGLEVEL at program start.
int log_threshold();

// True when a line of this level is written at the current threshold.
bool log_enabled(Log_level level);

// Writes one complete line (prefix, text, line feed) and flushes standard output.
void write_log_line(Log_level level, const char* file, int line, const std::string& text);

// Logs the ERROR line (when the threshold allows it and the message is not
// empty) and throws
// std::runtime_error("Assertion `<expression>` failed at <base name>:<line>").
[[noreturn]] void check_failed(const char* expression, const char* file, int line,
                               const std::string& message);

// Writes one marker line "<seconds>.<nine digits> <event>_ADAPTIVE_CONT_<log name>".
void log_marker(const std::string& event, const std::string& log_name);

// The pieces the functions above are made of; pure, so tests can reach them.
// Threshold for a LOGLEVEL value (null: not set).
int threshold_from_env(const char* value);
// The part of a path after its last "/".
const char* base_name(const char* path);
// "<word> (<local time>) " or, at threshold DEBUG and for ERROR lines,
// "<word> (<local time> <file base name>:<line>) ".
std::string log_prefix(Log_level level, int threshold, const char* file, int line,
                       const std::string& local_time);
// Marker line without its line feed; a null stamp leaves the time part empty.
std::string marker_line(const timespec* stamp, const std::string& event,
                        const std::string& log_name);

namespace detail {
template <typename... Parts>
std::string concat(const Parts&... parts) {
    std::ostringstream out;
    if constexpr (sizeof...(Parts) > 0) {
        (out << ... << parts);
    }
    return out.str();
}
}  // namespace detail

}  // namespace ql

// Log lines and assertion texts name the unit a check belongs to, and start-up scripts
// match them. A file split out of a unit defines QL_SOURCE_FILE as that
// unit's file name before its first include, so the texts stay the same.
#ifndef QL_SOURCE_FILE
#define QL_SOURCE_FILE __FILE__
#endif

// Message parts are written one after the other with nothing between them.
#define QL_LOG(level, ...)                                                                      \
    do {                                                                                        \
        if (::ql::log_enabled(level)) {                                                         \
            ::ql::write_log_line(level, QL_SOURCE_FILE, __LINE__, ::ql::detail::concat(__VA_ARGS__)); \
        }                                                                                       \
    } while (0)

#define LOG_DEBUG(...) QL_LOG(::ql::Log_level::DEBUG, __VA_ARGS__)
#define LOG_INFO(...) QL_LOG(::ql::Log_level::INFO, __VA_ARGS__)
#define LOG_WARN(...) QL_LOG(::ql::Log_level::WARN, __VA_ARGS__)
#define LOG_ERROR(...) QL_LOG(::ql::Log_level::ERROR, __VA_ARGS__)

// The assertion: `expression` is reported exactly as written here.
#define QL_CHECK(expression, ...)                                                            \
    do {                                                                                     \
        if (!(expression)) {                                                                 \
            ::ql::check_failed(#expression, QL_SOURCE_FILE, __LINE__,                        \
                               ::ql::detail::concat(__VA_ARGS__));                           \
        }                                                                                    \
    } while (0)
