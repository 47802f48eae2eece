// Who subscribed to which event, and until when. Not thread-safe: the port
// guards it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "com/wire/someip_message.h"

namespace ux::com::cpp_binding {

class Subscription_table {
public:
    using Clock = std::chrono::steady_clock;

    struct Subscriber {
        someip::Ipv4_endpoint endpoint;
        Clock::time_point expires;
        bool infinite = false;
    };

    enum class Result { rejected, added_first, added, renewed };

    Subscription_table(std::size_t event_count, std::size_t max_per_event);

    // ttl in seconds, someip::ttl_infinite for no expiry; ttl must be > 0.
    Result subscribe(std::size_t event, const someip::Ipv4_endpoint& endpoint, std::uint32_t ttl,
                     Clock::time_point now);
    // True when the event lost its last subscriber.
    bool unsubscribe(std::size_t event, const someip::Ipv4_endpoint& endpoint);
    // Drops expired subscriptions; returns the events that lost their last one.
    std::vector<std::size_t> expire(Clock::time_point now);
    // When the first subscription that can expire does so; none: never.
    std::optional<Clock::time_point> next_expiry() const;
    // Events that had subscribers before everything was dropped.
    std::vector<std::size_t> clear();

    std::size_t count(std::size_t event) const;
    const std::vector<Subscriber>& subscribers(std::size_t event) const { return m_events.at(event); }
    std::size_t event_count() const noexcept { return m_events.size(); }

private:
    std::vector<std::vector<Subscriber>> m_events;
    std::size_t m_max_per_event;
};

}  // namespace ux::com::cpp_binding
