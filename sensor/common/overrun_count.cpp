#include "sensor/common/overrun_count.h"

bool Overrun_count::add(std::uint64_t lost, Clock::time_point now) noexcept {
    if (lost == 0) {
        return false;
    }
    m_total += lost;
    if (m_warned && now - m_last_warning < std::chrono::seconds(1)) {
        return false;
    }
    m_warned = true;
    m_last_warning = now;
    return true;
}
