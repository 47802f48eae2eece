// State of one report rate limiter: windows of accumulated call-to-call time
// and the number of reports let through in the current window. Serves both
// report services.
#pragma once

#include <chrono>
#include <cstdint>

class Rate_window {
public:
    using Time_point = std::chrono::system_clock::time_point;

    enum class Decision {
        open_window,  // more than the window has passed: a new one opens with this report
        drop,         // the window's reports are used up
        pass,         // within the limit
    };

    // Adds the time since the previous call, at the clock's full resolution,
    // to the time passed, so closely spaced calls still add up. The first
    // call adds nothing, nor does a clock that went backwards.
    void advance(Time_point now) noexcept;

    // advance, then what to do with the report. The caller starts the new
    // window (open_window) after logging the time passed, and counts a
    // passed report only once it was published.
    Decision decide(Time_point now, std::int64_t window_ms, std::uint32_t limit) noexcept;

    bool elapsed(std::int64_t window_ms) const noexcept { return m_time_passed > std::chrono::milliseconds(window_ms); }

    // Starts a new window whose opening report is already counted.
    void open_window() noexcept;

    // Count and limit are compared as unsigned 32-bit numbers: the largest
    // limit (a configured -1) lets everything through.
    bool over_limit(std::uint32_t limit) const noexcept { return m_count > limit; }

    // Wraps at 2^32 instead of overflowing.
    void count_publication() noexcept { ++m_count; }

    // Whole milliseconds, for the log.
    std::int64_t time_passed_ms() const noexcept {
        return std::chrono::duration_cast<std::chrono::milliseconds>(m_time_passed).count();
    }
    std::uint32_t count() const noexcept { return m_count; }

private:
    bool m_started = false;
    Time_point m_last_call{};
    Time_point::duration m_time_passed{0};
    std::uint32_t m_count = 0;
};
