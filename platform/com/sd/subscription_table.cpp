#include "com/sd/subscription_table.h"

#include <algorithm>

namespace ux::com::cpp_binding {

Subscription_table::Subscription_table(std::size_t event_count, std::size_t max_per_event)
    : m_events(event_count), m_max_per_event(max_per_event) {}

Subscription_table::Result Subscription_table::subscribe(std::size_t event, const someip::Ipv4_endpoint& endpoint,
                                                         std::uint32_t ttl, Clock::time_point now) {
    if (event >= m_events.size() || ttl == 0) {
        return Result::rejected;
    }
    auto& list = m_events[event];
    const bool infinite = ttl >= someip::ttl_infinite;
    const auto expires = now + std::chrono::seconds(ttl);
    for (auto& s : list) {
        if (s.endpoint == endpoint) {
            s.expires = expires;
            s.infinite = infinite;
            return Result::renewed;
        }
    }
    if (list.size() >= m_max_per_event) {
        return Result::rejected;
    }
    list.push_back(Subscriber{endpoint, expires, infinite});
    return list.size() == 1 ? Result::added_first : Result::added;
}

bool Subscription_table::unsubscribe(std::size_t event, const someip::Ipv4_endpoint& endpoint) {
    if (event >= m_events.size()) {
        return false;
    }
    auto& list = m_events[event];
    auto it = std::find_if(list.begin(), list.end(), [&](const Subscriber& s) { return s.endpoint == endpoint; });
    if (it == list.end()) {
        return false;
    }
    list.erase(it);
    return list.empty();
}

std::optional<Subscription_table::Clock::time_point> Subscription_table::next_expiry() const {
    std::optional<Clock::time_point> first;
    for (const auto& list : m_events) {
        for (const auto& s : list) {
            if (!s.infinite && (!first || s.expires < *first)) {
                first = s.expires;
            }
        }
    }
    return first;
}

std::vector<std::size_t> Subscription_table::expire(Clock::time_point now) {
    std::vector<std::size_t> emptied;
    for (std::size_t event = 0; event < m_events.size(); ++event) {
        auto& list = m_events[event];
        if (list.empty()) {
            continue;
        }
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const Subscriber& s) { return !s.infinite && s.expires <= now; }),
                   list.end());
        if (list.empty()) {
            emptied.push_back(event);
        }
    }
    return emptied;
}

std::vector<std::size_t> Subscription_table::clear() {
    std::vector<std::size_t> emptied;
    for (std::size_t event = 0; event < m_events.size(); ++event) {
        if (!m_events[event].empty()) {
            emptied.push_back(event);
            m_events[event].clear();
        }
    }
    return emptied;
}

std::size_t Subscription_table::count(std::size_t event) const {
    return event < m_events.size() ? m_events[event].size() : 0;
}

}  // namespace ux::com::cpp_binding
