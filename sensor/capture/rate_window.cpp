#include "sensor/capture/rate_window.h"

void Rate_window::advance(Time_point now) noexcept {
    if (!m_started) {
        m_started = true;
        m_last_call = now;
    }
    const auto step = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_last_call).count();
    // A system clock set back counts as no time; otherwise the window would
    // stay shut for as long as the clock was set back.
    if (step > 0) {
        m_time_passed_ms += step;
    }
    m_last_call = now;
}

void Rate_window::open_window() noexcept {
    m_time_passed_ms = 0;
    m_count = 1;
}

bool Rate_window::over_limit(std::uint32_t limit) const noexcept {
    const auto signed_limit = static_cast<std::int32_t>(limit);
    return m_count < 0 || m_count > signed_limit;
}

void Rate_window::count_publication() noexcept {
    m_count = static_cast<std::int32_t>(static_cast<std::uint32_t>(m_count) + 1U);
}
