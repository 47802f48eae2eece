#include "com/endpoint/send_failures.h"

namespace ux::com::cpp_binding {
namespace {

// Bounds the table; a destination beyond it is simply not tracked.
constexpr std::size_t max_tracked = 256;

}  // namespace

void Send_failures::failed(const sockaddr_in& to) noexcept {
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Key key{to.sin_addr.s_addr, to.sin_port};
        auto it = m_streaks.find(key);
        if (it == m_streaks.end()) {
            if (m_streaks.size() >= max_tracked) {
                return;
            }
            it = m_streaks.emplace(key, 0).first;
        }
        m_any = true;
        if (++it->second == limit && m_given_up.size() < max_tracked) {
            m_given_up.push_back(to);
        }
    } catch (...) {
    }
}

void Send_failures::sent(const sockaddr_in& to) noexcept {
    if (!m_any.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_streaks.erase(Key{to.sin_addr.s_addr, to.sin_port});
    m_any = !m_streaks.empty();
}

std::vector<sockaddr_in> Send_failures::take_given_up() {
    if (!m_any.load(std::memory_order_relaxed)) {
        return {};
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<sockaddr_in> out;
    out.swap(m_given_up);
    for (const auto& to : out) {
        m_streaks.erase(Key{to.sin_addr.s_addr, to.sin_port});
    }
    m_any = !m_streaks.empty();
    return out;
}

}  // namespace ux::com::cpp_binding
