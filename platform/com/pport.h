// The offer port of one service instance: the service's UDP endpoint, the
// SOME/IP-SD subscriptions of its events, and the delivery of method calls
// and notifications.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "com/datagram_handler.h"
#include "com/sd_server.h"
#include "com/serialized_payload.h"
#include "com/someip_message.h"
#include "com/subscription_table.h"
#include "com/udp_socket.h"

namespace ux::com::cpp_binding::skeleton {

class Event_impl;

// Methods in the upper 16 bits, events in the lower 16 bits.
struct Service_interface_description {
    std::uint32_t value = 0;
    std::uint16_t methods() const noexcept { return static_cast<std::uint16_t>(value >> 16); }
    std::uint16_t events() const noexcept { return static_cast<std::uint16_t>(value & 0xffff); }
};

// Where one subscriber wants its notifications.
struct Subscriber_address {
    sockaddr_in address{};
};

// Sends the answer of one method call: the payload and the SOME/IP return
// code (0 gives a RESPONSE, anything else an ERROR without payload).
using Reply_function = std::function<void(const oq::com::runtime::Shared_payload&, std::uint8_t)>;

struct Method_request {
    std::uint16_t method_id = 0;
    std::vector<std::uint8_t> payload;
    Reply_function reply;
};

// An offer that could not be made; the text names the service, the
// endpoint (or the deployment file) and the reason.
class Offer_failed : public std::runtime_error {
public:
    explicit Offer_failed(const std::string& what) : std::runtime_error(what) {}
};

class Pport {
public:
    // service_name: the service's qualified name, which selects its
    // deployment; instance: the configured instance identifier.
    Pport(const std::string& service_name, const std::string& instance, Service_interface_description description);
    ~Pport();
    Pport(const Pport&) = delete;
    Pport& operator=(const Pport&) = delete;

    // The port later sets the event's payload formats and asks it for the
    // current value for new subscribers. A null event unregisters.
    void register_event(std::uint16_t index, Event_impl* event);
    // Receives every request for a method of the service; without a sink the
    // port answers E_UNKNOWN_METHOD.
    void set_method_sink(std::function<void(Method_request&&)> sink);

    // Opens the endpoint, starts serving and announces the service by
    // SOME/IP-SD; repeating it is harmless. Throws Offer_failed when the
    // endpoint cannot be opened or the deployment file could not be used;
    // without an SD endpoint the service is still offered, only not announced.
    void start_offer();
    // Announces the end of the offer, closes the endpoint and drops all
    // subscriptions; repeating it is harmless.
    void stop_offer();
    bool is_offered() const;

    void send_to_all_subscribers(std::uint16_t event_index,
                                 const std::vector<oq::com::runtime::Serialized_payload>& payloads);
    void send_to_subscriber(std::uint16_t event_index, const Subscriber_address& to,
                            const std::vector<oq::com::runtime::Serialized_payload>& payloads);

    std::uint16_t service_id() const noexcept { return m_service_id; }
    std::uint16_t instance_id() const noexcept { return m_instance_id; }
    const std::string& service_name() const noexcept { return m_service_name; }
    Service_interface_description description() const noexcept { return m_description; }
    // The bound endpoint while offered.
    std::optional<sockaddr_in> local_endpoint() const;
    std::size_t subscriber_count(std::uint16_t event_index) const;
    // Datagrams dropped because they were not well-formed SOME/IP.
    std::uint64_t malformed_datagrams() const noexcept { return m_malformed.load(); }

    // What the datagram path knows of this service right now.
    Service_identity identity() const;

    // Runs one datagram through the datagram path under the port's lock:
    // the subscription table changes, the malformed count grows, and the
    // answers come back for the caller to send on the socket the datagram
    // arrived on (sd_sessions: that socket's SD session counters; null for
    // the port's own endpoint). Then apply() the rest.
    Datagram_outcome process(Arrival arrival, const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                             Sd_sessions* sd_sessions);
    // Dispatches the outcome's method calls and applies its subscription
    // changes (payload formats, current values for new subscribers).
    void apply(Datagram_outcome& outcome);

private:
    void receive_loop();
    // Milliseconds until the next subscription expires, at most a second.
    int wait_until_next_expiry() const;
    void receive_pending(std::vector<std::uint8_t>& buffer);
    Service_identity identity_locked() const;
    void send_reply(const someip::Header& request, const sockaddr_in& to,
                    const oq::com::runtime::Shared_payload& payload, std::uint8_t return_code);
    void send_event(std::uint16_t event_index, const sockaddr_in* only,
                    const std::vector<oq::com::runtime::Serialized_payload>& payloads);
    void set_formats(std::size_t event, bool subscribed);
    Event_impl* event_at(std::size_t index) const;
    std::uint16_t next_session();

    std::string m_service_name;
    std::uint16_t m_service_id;
    std::uint16_t m_instance_id;
    Service_interface_description m_description;
    std::string m_address;
    // Why the deployment file could not be used; empty when it could.
    std::string m_deployment_error;
    std::uint16_t m_port;

    // Guards the socket, the subscriptions, the events, the method sink and
    // the SD session counters of the endpoint.
    mutable std::mutex m_mutex;
    // Shared with the notifications a batch still holds.
    std::shared_ptr<Udp_socket> m_socket;
    someip::Ipv4_endpoint m_endpoint;  // where m_socket is bound
    Subscription_table m_subscriptions;
    std::vector<Event_impl*> m_events;
    std::function<void(Method_request&&)> m_method_sink;

    // Serialises offer and stop against each other.
    std::mutex m_offer_mutex;
    Wake_event m_wake;
    std::atomic<bool> m_stop_requested{false};
    std::thread m_receiver;
    // The process's SD endpoint while offered; null when it could not be opened.
    std::shared_ptr<Sd_server> m_sd;

    std::atomic<std::uint64_t> m_malformed{0};
    std::atomic<std::uint32_t> m_session{0};
    Sd_sessions m_sd_sessions;
};

}  // namespace ux::com::cpp_binding::skeleton
