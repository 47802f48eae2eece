// Stand-in for the platform logging library (ara::log).
// Messages go to standard output, one line each:
//   <UTC time> <application id> [<severity>] <text>
// ARA_LOG_LEVEL (off, fatal, error, warn, info, debug, verbose) overrides the
// level given to InitLogging.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace ara::log {

enum class LogLevel : std::uint8_t { kOff = 0, kFatal, kError, kWarn, kInfo, kDebug, kVerbose };
enum class LogMode : std::uint8_t { kRemote = 0x01, kFile = 0x02, kConsole = 0x04 };

void InitLogging(std::string appId, std::string appDescription, LogLevel appDefLogLevel,
                 LogMode logMode, std::string directoryPath);

// Current threshold (after the ARA_LOG_LEVEL override).
LogLevel CurrentLogLevel() noexcept;
const char* LevelName(LogLevel level) noexcept;

// One message. Its arguments are appended in order and the message is written
// as one line when the stream is destroyed. A stream below the threshold does
// nothing at all: no formatting, no allocation.
class LogStream {
public:
    explicit LogStream(LogLevel level) noexcept;
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;
    LogStream(LogStream&& other) noexcept;
    LogStream& operator=(LogStream&&) = delete;

    bool enabled() const noexcept { return m_enabled; }
    void Flush();

    LogStream& operator<<(std::string_view text);
    LogStream& operator<<(const std::string& text) { return *this << std::string_view(text); }
    LogStream& operator<<(const char* text) { return *this << std::string_view(text ? text : "(null)"); }
    LogStream& operator<<(char* text) { return *this << static_cast<const char*>(text); }
    LogStream& operator<<(bool value);
    LogStream& operator<<(double value);
    LogStream& operator<<(float value) { return *this << static_cast<double>(value); }

    // All integers, 8-bit ones included, are written as numbers.
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
    LogStream& operator<<(T value) {
        if (m_enabled) {
            if constexpr (std::is_signed_v<T>) {
                appendSigned(static_cast<long long>(value));
            } else {
                appendUnsigned(static_cast<unsigned long long>(value));
            }
        }
        return *this;
    }

private:
    void appendSigned(long long value);
    void appendUnsigned(unsigned long long value);

    LogLevel m_level;
    bool m_enabled;
    std::string m_text;
};

class Logger {
public:
    Logger(std::string contextId, std::string contextDescription);
    LogStream LogFatal() const noexcept { return LogStream(LogLevel::kFatal); }
    LogStream LogError() const noexcept { return LogStream(LogLevel::kError); }
    LogStream LogWarn() const noexcept { return LogStream(LogLevel::kWarn); }
    LogStream LogInfo() const noexcept { return LogStream(LogLevel::kInfo); }
    LogStream LogDebug() const noexcept { return LogStream(LogLevel::kDebug); }
    LogStream LogVerbose() const noexcept { return LogStream(LogLevel::kVerbose); }
    LogStream WithLevel(LogLevel level) const noexcept { return LogStream(level); }
    bool IsLogEnabled(LogLevel level) const noexcept;
    const std::string& ContextId() const noexcept { return m_contextId; }

private:
    std::string m_contextId;
    std::string m_contextDescription;
};

// Returns a logger that lives until the process ends.
Logger& CreateLogger(std::string contextId, std::string contextDescription);

// Lets tests see every message that passed the threshold, with its severity.
// While a capture is alive messages still reach standard output.
class ScopedCapture {
public:
    using Sink = std::function<void(LogLevel, const std::string&)>;
    explicit ScopedCapture(Sink sink);
    ~ScopedCapture();
    ScopedCapture(const ScopedCapture&) = delete;
    ScopedCapture& operator=(const ScopedCapture&) = delete;
};

}  // namespace ara::log
