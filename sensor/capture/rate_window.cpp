#include "sensor/capture/rate_window.h"

void Rate_window::advance(Time_point now) noexcept {
    if (!m_started) {
        m_started = true;
        m_last_call = now;
    }
    const auto step = now - m_last_call;
    // A system clock set back counts as no time; otherwise the window would
    // stay shut for as long as the clock was set back.
    if (step > Time_point::duration::zero()) {
        m_time_passed += step;
    }
    m_last_call = now;
}

Rate_window::Decision Rate_window::decide(Time_point now, std::int64_t window_ms, std::uint32_t limit) noexcept {
    advance(now);
    if (elapsed(window_ms)) {
        return Decision::open_window;
    }
    return over_limit(limit) ? Decision::drop : Decision::pass;
}

void Rate_window::open_window() noexcept {
    m_time_passed = Time_point::duration::zero();
    m_count = 1;
}
