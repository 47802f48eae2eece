// Counts what the kernel dropped for one source (a receive buffer overrun)
// and decides when a warning is due.
#pragma once

#include <chrono>
#include <cstdint>

// Counts what the kernel dropped for one source and decides when a warning
// is due: at most one per second, each with the running total.
class Overrun_count {
public:
    using Clock = std::chrono::steady_clock;

    // Adds lost items; true when a warning with the new total is due now.
    bool add(std::uint64_t lost, Clock::time_point now) noexcept;
    std::uint64_t total() const noexcept { return m_total; }

private:
    std::uint64_t m_total = 0;
    bool m_warned = false;
    Clock::time_point m_last_warning{};
};
