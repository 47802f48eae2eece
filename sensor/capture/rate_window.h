// State of one report rate limiter: windows of accumulated call-to-call time
// and the number of reports let through in the current window.
#pragma once

#include <chrono>
#include <cstdint>

class Rate_window {
public:
    using Time_point = std::chrono::system_clock::time_point;

    // Adds the time since the previous call, truncated to whole milliseconds
    // per call, to the time passed. The first call adds nothing, nor does a
    // clock that went backwards.
    void advance(Time_point now) noexcept;

    bool elapsed(std::int64_t window_ms) const noexcept { return m_time_passed_ms > window_ms; }

    // Starts a new window whose opening report is already counted.
    void open_window() noexcept;

    // Count and limit are compared as signed 32-bit numbers: a limit of 2^31
    // or more reads as negative and lets nothing through.
    bool over_limit(std::uint32_t limit) const noexcept;

    // Wraps instead of overflowing; a wrapped (negative) count reads as over
    // the limit until the next window.
    void count_publication() noexcept;

    std::int64_t time_passed_ms() const noexcept { return m_time_passed_ms; }
    std::int32_t count() const noexcept { return m_count; }

private:
    bool m_started = false;
    Time_point m_last_call{};
    std::int64_t m_time_passed_ms = 0;
    std::int32_t m_count = 0;
};
