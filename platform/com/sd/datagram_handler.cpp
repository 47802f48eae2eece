#include "com/sd/datagram_handler.h"

#include <arpa/inet.h>

#include <algorithm>

namespace ux::com::cpp_binding {
namespace {

struct Context {
    const Service_identity& service;
    Arrival arrival;
    Subscription_table& subscriptions;
    Sd_sessions& sessions;
    Subscription_table::Clock::time_point now;
    const sockaddr_in& from;
    Datagram_outcome& out;
};

void reply_error(Context& c, const someip::Header& request, std::uint8_t code) {
    c.out.replies.push_back({c.from, someip::encode_answer(request, nullptr, 0, code)});
}

void send_sd(Context& c, const someip::Sd_entry& entry) {
    const auto stamp = c.sessions.next_unicast(c.from);
    c.out.replies.push_back({c.from, someip::encode_sd_message(stamp.session, stamp.reboot, {entry})});
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
                       entry.eventgroup_id >= 1 &&
                       entry.eventgroup_id <= s.events && entry.endpoint && entry.endpoint->protocol == someip::l4_udp;
    if (!known) {
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
    // A renewal keeps the subscriber's view; it already has the value.
    if (result != Subscription_table::Result::renewed) {
        c.out.changes.push_back(
            {Subscription_change::Kind::new_subscriber, event, to_sockaddr(*entry.endpoint)});
    }
}

void handle_find(Context& c, const someip::Sd_entry& entry) {
    const Service_identity& s = c.service;
    const bool wanted = (entry.service_id == s.service_id || entry.service_id == someip::any_service) &&
                        (entry.instance_id == s.instance_id || entry.instance_id == someip::any_instance) &&
                        (entry.major_version == someip::major_version || entry.major_version == someip::any_major);
    if (wanted) {
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
    Context c{service, arrival, subscriptions, sd_sessions, now, from, out};
    const std::uint8_t* payload = data + someip::header_size;
    const std::size_t payload_size = size - someip::header_size;
    if (header->service_id == someip::sd_service_id && header->method_id == someip::sd_method_id) {
        handle_sd(c, payload, payload_size);
    } else {
        handle_request(c, *header, payload, payload_size);
    }
    return out;
}

sockaddr_in to_sockaddr(const someip::Ipv4_endpoint& endpoint) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(endpoint.address);
    addr.sin_port = htons(endpoint.port);
    return addr;
}

}  // namespace ux::com::cpp_binding
