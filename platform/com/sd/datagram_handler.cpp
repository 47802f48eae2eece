#include "com/sd/datagram_handler.h"

#include <arpa/inet.h>

#include <algorithm>

namespace ux::com::cpp_binding {
namespace {

struct Context {
    const Service_identity& service;
    Arrival arrival;
    Subscription_table& subscriptions;
    Subscription_table::Clock::time_point now;
    const sockaddr_in& from;
    Datagram_outcome& out;
};

void reply_error(Context& c, const someip::Header& request, std::uint8_t code) {
    c.out.replies.push_back({c.from, someip::encode_answer(request, nullptr, 0, code)});
}

// Every answer to one SD message goes into one message back.
void send_sd(Context& c, const someip::Sd_entry& entry) { c.out.sd_answer.push_back(entry); }

// Notifications go only to the sender's own unicast UDP endpoint, or to one
// the deployment names: otherwise anyone could direct the report stream at
// a third party, or at a broadcast or multicast address.
bool acceptable_endpoint(const Context& c, const std::optional<someip::Ipv4_endpoint>& endpoint) {
    if (!endpoint || endpoint->protocol != someip::l4_udp || endpoint->port == 0) {
        return false;
    }
    const std::uint32_t a = endpoint->address;
    if (a == INADDR_ANY || a == INADDR_BROADCAST || IN_MULTICAST(a) || IN_EXPERIMENTAL(a)) {
        return false;
    }
    if (a == ntohl(c.from.sin_addr.s_addr)) {
        return true;
    }
    return std::any_of(c.service.extra_subscribers.begin(), c.service.extra_subscribers.end(),
                       [a](const Ipv4_network& n) { return n.contains(a); });
}

void subscribe_answer(Context& c, const someip::Sd_entry& entry, bool ack) {
    someip::Sd_entry answer;
    answer.type = someip::sd_entry_type::subscribe_eventgroup_ack;
    answer.service_id = entry.service_id;
    answer.instance_id = entry.instance_id;
    answer.major_version = entry.major_version;
    answer.ttl = ack ? entry.ttl : 0;
    answer.counter = entry.counter;
    answer.eventgroup_id = entry.eventgroup_id;
    send_sd(c, answer);
}

void handle_subscribe(Context& c, const someip::Sd_entry& entry) {
    const Service_identity& s = c.service;
    if (c.arrival == Arrival::sd_endpoint && entry.service_id != s.service_id) {
        return;  // another service of the process may own it
    }
    const bool known = entry.service_id == s.service_id && entry.instance_id == s.instance_id &&
                       (entry.major_version == someip::major_version || entry.major_version == someip::any_major) &&
                       entry.eventgroup_id >= 1 && entry.eventgroup_id <= s.events && entry.endpoint;
    if (!known) {
        if (entry.ttl != 0) {
            subscribe_answer(c, entry, false);
        }
        return;
    }
    if (!acceptable_endpoint(c, entry.endpoint)) {
        // A StopSubscribe naming someone else's endpoint must not end it either.
        ++c.out.refused_subscriptions;
        if (entry.ttl != 0) {
            subscribe_answer(c, entry, false);
        }
        return;
    }
    const std::size_t event = entry.eventgroup_id - 1u;
    if (entry.ttl == 0) {
        if (c.subscriptions.unsubscribe(event, *entry.endpoint)) {
            c.out.changes.push_back({Subscription_change::Kind::last_subscriber_gone, event, {}});
        }
        return;
    }
    const auto result = c.subscriptions.subscribe(event, *entry.endpoint, entry.ttl, c.now);
    if (result == Subscription_table::Result::rejected) {
        subscribe_answer(c, entry, false);
        return;
    }
    subscribe_answer(c, entry, true);
    if (result == Subscription_table::Result::added_first) {
        c.out.changes.push_back({Subscription_change::Kind::first_subscriber, event, {}});
    }
    // A renewal keeps the subscriber's view; it already has the value. A
    // subscription repeated within a second gets no second copy.
    if (result != Subscription_table::Result::renewed &&
        c.subscriptions.initial_value_due(event, *entry.endpoint, c.now)) {
        c.out.changes.push_back(
            {Subscription_change::Kind::new_subscriber, event, to_sockaddr(*entry.endpoint)});
    }
}

void handle_find(Context& c, const someip::Sd_entry& entry) {
    const Service_identity& s = c.service;
    const bool wanted = (entry.service_id == s.service_id || entry.service_id == someip::any_service) &&
                        (entry.instance_id == s.instance_id || entry.instance_id == someip::any_instance) &&
                        (entry.major_version == someip::major_version || entry.major_version == someip::any_major);
    // One offer of the service per answer, however many entries ask for it.
    const bool offered = std::any_of(c.out.sd_answer.begin(), c.out.sd_answer.end(), [](const someip::Sd_entry& e) {
        return e.type == someip::sd_entry_type::offer_service;
    });
    if (wanted && !offered) {
        send_sd(c, someip::offer_entry(s.service_id, s.instance_id, s.endpoint, someip::offer_ttl));
    }
}

void handle_sd(Context& c, const std::uint8_t* payload, std::size_t size) {
    const auto entries = someip::parse_sd_payload(payload, size);
    if (!entries) {
        c.out.malformed = true;
        return;
    }
    for (const auto& entry : *entries) {
        if (entry.type == someip::sd_entry_type::subscribe_eventgroup) {
            handle_subscribe(c, entry);
        } else if (entry.type == someip::sd_entry_type::find_service) {
            handle_find(c, entry);
        }
        // Offers (our own included, when the SD address loops back) need no answer.
    }
}

void handle_request(Context& c, const someip::Header& header, const std::uint8_t* payload, std::size_t size) {
    if (c.arrival == Arrival::sd_endpoint || header.message_type != someip::Message_type::request) {
        // Fire-and-forget calls and stray answers have nobody to answer.
        return;
    }
    const Service_identity& s = c.service;
    if (header.service_id != s.service_id) {
        reply_error(c, header, someip::return_code::e_unknown_service);
        return;
    }
    if (header.interface_version != someip::interface_version) {
        reply_error(c, header, someip::return_code::e_wrong_interface_version);
        return;
    }
    if (!s.accepts_methods || header.method_id >= s.methods) {
        reply_error(c, header, someip::return_code::e_unknown_method);
        return;
    }
    // Every method of these services is a field's Get, which takes nothing;
    // a payload is refused before it is copied anywhere.
    if (size > 0) {
        reply_error(c, header, someip::return_code::e_malformed_message);
        return;
    }
    c.out.calls.push_back({header, c.from, std::vector<std::uint8_t>(payload, payload + size)});
}

}  // namespace

Datagram_outcome handle_datagram(const Service_identity& service, Arrival arrival,
                                 Subscription_table& subscriptions, Sd_sessions& sd_sessions,
                                 Subscription_table::Clock::time_point now, const std::uint8_t* data,
                                 std::size_t size, const sockaddr_in& from) {
    Datagram_outcome out;
    const auto header = someip::parse_header(data, size);
    if (!header) {
        out.malformed = true;
        return out;
    }
    Context c{service, arrival, subscriptions, now, from, out};
    const std::uint8_t* payload = data + someip::header_size;
    const std::size_t payload_size = size - someip::header_size;
    if (header->service_id == someip::sd_service_id && header->method_id == someip::sd_method_id) {
        // Only SD notifications are SD messages; anything else on the SD
        // IDs has no meaning and gets no answer.
        if (header->message_type == someip::Message_type::notification &&
            header->interface_version == someip::interface_version &&
            header->return_code == someip::return_code::e_ok) {
            handle_sd(c, payload, payload_size);
        }
        if (arrival == Arrival::service_endpoint && !out.sd_answer.empty()) {
            out.replies.push_back(encode_sd_answer(out.sd_answer, sd_sessions, from));
            out.sd_answer.clear();
        }
    } else {
        handle_request(c, *header, payload, payload_size);
    }
    return out;
}

Outgoing_datagram encode_sd_answer(const std::vector<someip::Sd_entry>& entries, Sd_sessions& sessions,
                                   const sockaddr_in& to) {
    const auto stamp = sessions.next_unicast(to);
    return Outgoing_datagram{to, someip::encode_sd_message(stamp.session, stamp.reboot, entries)};
}

sockaddr_in to_sockaddr(const someip::Ipv4_endpoint& endpoint) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(endpoint.address);
    addr.sin_port = htons(endpoint.port);
    return addr;
}

}  // namespace ux::com::cpp_binding
