#include "com/sd/subscription_table.h"

#include <algorithm>

namespace ux::com::cpp_binding {
namespace {

constexpr auto initial_value_interval = std::chrono::seconds(1);
// Bounds the memory of initial values sent; forgetting lets at most one
// more copy out per endpoint.
constexpr std::size_t max_initial_values = 1024;

std::size_t held_by(const std::vector<Subscription_table::Subscriber>& list, std::uint32_t address) {
    return static_cast<std::size_t>(std::count_if(list.begin(), list.end(), [address](const auto& s) {
        return s.endpoint.address == address;
    }));
}

}  // namespace

Subscription_table::Subscription_table(std::size_t event_count, std::size_t max_per_event,
                                       std::size_t max_per_source)
    : m_events(event_count), m_max_per_event(max_per_event), m_max_per_source(max_per_source) {}

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
    if (held_by(list, endpoint.address) >= m_max_per_source) {
        return Result::rejected;
    }
    if (list.size() >= m_max_per_event && !make_room(list, endpoint.address)) {
        return Result::rejected;
    }
    list.push_back(Subscriber{endpoint, expires, infinite, ++m_arrivals});
    return list.size() == 1 ? Result::added_first : Result::added;
}

bool Subscription_table::make_room(std::vector<Subscriber>& list, std::uint32_t address) {
    // The oldest entry of the addresses that hold the most.
    auto victim = list.end();
    std::size_t most = 0;
    for (auto it = list.begin(); it != list.end(); ++it) {
        const std::size_t held = held_by(list, it->endpoint.address);
        if (held > most || (held == most && victim != list.end() && it->since < victim->since)) {
            most = held;
            victim = it;
        }
    }
    if (victim == list.end() || held_by(list, address) >= most) {
        return false;
    }
    list.erase(victim);
    return true;
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

std::vector<std::size_t> Subscription_table::remove_everywhere(const someip::Ipv4_endpoint& endpoint) {
    std::vector<std::size_t> emptied;
    for (std::size_t event = 0; event < m_events.size(); ++event) {
        if (unsubscribe(event, endpoint)) {
            emptied.push_back(event);
        }
    }
    return emptied;
}

bool Subscription_table::initial_value_due(std::size_t event, const someip::Ipv4_endpoint& endpoint,
                                           Clock::time_point now) {
    const auto key = std::make_tuple(event, endpoint.address, endpoint.port);
    auto it = m_initial_values.find(key);
    if (it != m_initial_values.end()) {
        if (now - it->second < initial_value_interval) {
            return false;
        }
        it->second = now;
        return true;
    }
    if (m_initial_values.size() >= max_initial_values) {
        for (auto old = m_initial_values.begin(); old != m_initial_values.end();) {
            old = now - old->second >= initial_value_interval ? m_initial_values.erase(old) : std::next(old);
        }
        if (m_initial_values.size() >= max_initial_values) {
            m_initial_values.clear();
        }
    }
    m_initial_values.emplace(key, now);
    return true;
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
