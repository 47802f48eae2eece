#include "ara/log/logging.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <atomic>
#include <charconv>
#include <deque>
#include <mutex>

namespace ara::log {
namespace {

struct State {
    std::mutex mutex;
    std::string appId{"----"};
    std::deque<Logger> loggers;
    ScopedCapture::Sink sink;
};

State& state() {
    static State s;
    return s;
}

std::atomic<LogLevel>& threshold() {
    static std::atomic<LogLevel> level{LogLevel::kInfo};
    return level;
}

bool parseLevel(const char* text, LogLevel& out) {
    if (text == nullptr) {
        return false;
    }
    std::string lower;
    for (const char* p = text; *p != '\0'; ++p) {
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
    }
    static const struct { const char* name; LogLevel level; } names[] = {
        {"off", LogLevel::kOff},   {"fatal", LogLevel::kFatal}, {"error", LogLevel::kError},
        {"warn", LogLevel::kWarn}, {"info", LogLevel::kInfo},   {"debug", LogLevel::kDebug},
        {"verbose", LogLevel::kVerbose},
    };
    for (const auto& n : names) {
        if (lower == n.name) {
            out = n.level;
            return true;
        }
    }
    return false;
}

void applyEnvironmentOverride() {
    LogLevel level;
    if (parseLevel(std::getenv("ARA_LOG_LEVEL"), level)) {
        threshold().store(level);
    }
}

// The override also holds for messages written before InitLogging.
const bool g_envApplied = (applyEnvironmentOverride(), true);

void writeLine(LogLevel level, const std::string& text) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000));
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::fprintf(stdout, "%s %s [%s] %s\n", stamp, s.appId.c_str(), LevelName(level), text.c_str());
    std::fflush(stdout);
    if (s.sink) {
        s.sink(level, text);
    }
}

}  // namespace

void InitLogging(std::string appId, std::string /*appDescription*/, LogLevel appDefLogLevel,
                 LogMode /*logMode*/, std::string /*directoryPath*/) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().appId = std::move(appId);
    }
    threshold().store(appDefLogLevel);
    applyEnvironmentOverride();
}

LogLevel CurrentLogLevel() noexcept { return threshold().load(std::memory_order_relaxed); }

const char* LevelName(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::kOff: return "off";
        case LogLevel::kFatal: return "fatal";
        case LogLevel::kError: return "error";
        case LogLevel::kWarn: return "warn";
        case LogLevel::kInfo: return "info";
        case LogLevel::kDebug: return "debug";
        case LogLevel::kVerbose: return "verbose";
    }
    return "unknown";
}

LogStream::LogStream(LogLevel level) noexcept
    : m_level(level),
      m_enabled(level != LogLevel::kOff && static_cast<int>(level) <= static_cast<int>(CurrentLogLevel())) {}

LogStream::LogStream(LogStream&& other) noexcept
    : m_level(other.m_level), m_enabled(other.m_enabled), m_text(std::move(other.m_text)) {
    other.m_enabled = false;
}

LogStream::~LogStream() {
    try {
        Flush();
    } catch (...) {
        // A message that cannot be written is lost; logging never throws.
    }
}

void LogStream::Flush() {
    if (m_enabled) {
        writeLine(m_level, m_text);
        m_text.clear();
        m_enabled = false;
    }
}

LogStream& LogStream::operator<<(std::string_view text) {
    if (m_enabled) {
        m_text.append(text.data(), text.size());
    }
    return *this;
}

LogStream& LogStream::operator<<(bool value) {
    if (m_enabled) {
        m_text.append(value ? "true" : "false");
    }
    return *this;
}

LogStream& LogStream::operator<<(double value) {
    if (m_enabled) {
        char buf[64];
        int n = std::snprintf(buf, sizeof buf, "%g", value);
        m_text.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return *this;
}

void LogStream::appendSigned(long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    m_text.append(buf, res.ptr);
}

void LogStream::appendUnsigned(unsigned long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    m_text.append(buf, res.ptr);
}

Logger::Logger(std::string contextId, std::string contextDescription)
    : m_contextId(std::move(contextId)), m_contextDescription(std::move(contextDescription)) {}

bool Logger::IsLogEnabled(LogLevel level) const noexcept {
    return level != LogLevel::kOff && static_cast<int>(level) <= static_cast<int>(CurrentLogLevel());
}

Logger& CreateLogger(std::string contextId, std::string contextDescription) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.loggers.emplace_back(std::move(contextId), std::move(contextDescription));
    return s.loggers.back();
}

ScopedCapture::ScopedCapture(Sink sink) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().sink = std::move(sink);
}

ScopedCapture::~ScopedCapture() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().sink = nullptr;
}

}  // namespace ara::log
