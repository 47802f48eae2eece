// Who subscribed to which event, and until when. Not thread-safe: the port
// guards it.
//
// Fair to every source address: one address holds at most max_per_source
// subscriptions of an event, and a full event makes room for an address
// that holds fewer than the largest holder by dropping that holder's oldest
// subscription. So a flood from one address, or from many that each hold
// one, cannot keep a newcomer out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>
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
        std::uint64_t since = 0;  // order of arrival, for "oldest"
    };

    enum class Result { rejected, added_first, added, renewed };

    static constexpr std::size_t default_max_per_source = 8;

    Subscription_table(std::size_t event_count, std::size_t max_per_event,
                       std::size_t max_per_source = default_max_per_source);

    // ttl in seconds, someip::ttl_infinite for no expiry; ttl must be > 0.
    Result subscribe(std::size_t event, const someip::Ipv4_endpoint& endpoint, std::uint32_t ttl,
                     Clock::time_point now);
    // True when the event lost its last subscriber.
    bool unsubscribe(std::size_t event, const someip::Ipv4_endpoint& endpoint);
    // Drops the endpoint from every event; returns the events that lost
    // their last subscriber.
    std::vector<std::size_t> remove_everywhere(const someip::Ipv4_endpoint& endpoint);
    // Drops expired subscriptions; returns the events that lost their last one.
    std::vector<std::size_t> expire(Clock::time_point now);
    // When the first subscription that can expire does so; none: never.
    std::optional<Clock::time_point> next_expiry() const;
    // Events that had subscribers before everything was dropped.
    std::vector<std::size_t> clear();

    // Whether the event's current value may go to a new subscriber at the
    // endpoint now: at most once a second per endpoint, however often it
    // subscribes anew. Records the sending when it says yes.
    bool initial_value_due(std::size_t event, const someip::Ipv4_endpoint& endpoint, Clock::time_point now);

    std::size_t count(std::size_t event) const;
    const std::vector<Subscriber>& subscribers(std::size_t event) const { return m_events.at(event); }
    std::size_t event_count() const noexcept { return m_events.size(); }

private:
    // Makes room in a full list for a subscription from the address; false
    // when the address already holds as many as anyone.
    bool make_room(std::vector<Subscriber>& list, std::uint32_t address);

    std::vector<std::vector<Subscriber>> m_events;
    std::size_t m_max_per_event;
    std::size_t m_max_per_source;
    std::uint64_t m_arrivals = 0;
    // Last initial value per (event, address, port); bounded.
    std::map<std::tuple<std::size_t, std::uint32_t, std::uint16_t>, Clock::time_point> m_initial_values;
};

}  // namespace ux::com::cpp_binding
