#include "com/endpoint/log_limiter.h"

namespace ux::com::cpp_binding {
namespace {

constexpr auto interval = std::chrono::seconds(1);
// Bounds the table against a flood of keys (source addresses).
constexpr std::size_t max_keys = 1024;

}  // namespace

std::uint64_t Log_limiter::count(std::uint32_t key, std::uint64_t n, Clock::time_point now) {
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        if (m_entries.size() >= max_keys) {
            // Keys whose counts were all logged long enough ago start afresh.
            for (auto old = m_entries.begin(); old != m_entries.end();) {
                const bool idle = old->second.pending == 0 && now - old->second.last_line >= interval;
                old = idle ? m_entries.erase(old) : std::next(old);
            }
            if (m_entries.size() >= max_keys) {
                m_entries.clear();
            }
        }
        m_entries.emplace(key, Entry{now, 0});
        return n;
    }
    Entry& e = it->second;
    e.pending += n;
    if (now - e.last_line < interval) {
        return 0;
    }
    const std::uint64_t due = e.pending;
    e.pending = 0;
    e.last_line = now;
    return due;
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> Log_limiter::take_due(Clock::time_point now) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> due;
    for (auto& [key, e] : m_entries) {
        if (e.pending > 0 && now - e.last_line >= interval) {
            due.emplace_back(key, e.pending);
            e.pending = 0;
            e.last_line = now;
        }
    }
    return due;
}

}  // namespace ux::com::cpp_binding
