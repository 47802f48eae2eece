// The offer port of one service instance: the service's UDP endpoint, the
// SOME/IP-SD subscriptions of its events, and the delivery of method calls
// and notifications.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "com/binding/port_interfaces.h"
#include "com/binding/serialized_payload.h"
#include "com/endpoint/log_limiter.h"
#include "com/endpoint/receive_loop.h"
#include "com/endpoint/send_failures.h"
#include "com/endpoint/udp_socket.h"
#include "com/sd/datagram_handler.h"
#include "com/sd/sd_server.h"
#include "com/sd/sd_service.h"
#include "com/sd/subscription_table.h"
#include "com/wire/session_counter.h"
#include "com/wire/someip_message.h"

namespace ux::com::cpp_binding::skeleton {

// Methods in the upper 16 bits, events in the lower 16 bits.
struct Service_interface_description {
    std::uint32_t value = 0;
    std::uint16_t methods() const noexcept { return static_cast<std::uint16_t>(value >> 16); }
    std::uint16_t events() const noexcept { return static_cast<std::uint16_t>(value & 0xffff); }
};

// An offer that could not be made; the text names the service, the
// endpoint (or the deployment file) and the reason.
class Offer_failed : public std::runtime_error {
public:
    explicit Offer_failed(const std::string& what) : std::runtime_error(what) {}
};

class Pport : public Sd_service, private Datagram_receiver {
public:
    // service_name: the service's qualified name, which selects its
    // deployment; instance: the configured instance identifier.
    Pport(const std::string& service_name, const std::string& instance, Service_interface_description description);
    ~Pport() override;
    Pport(const Pport&) = delete;
    Pport& operator=(const Pport&) = delete;

    // The port later sets the event's payload formats and asks it for the
    // current value for new subscribers. A null event unregisters.
    void register_event(std::uint16_t index, Port_event* event);
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

    // False when the service is not offered: nothing was sent.
    bool send_to_all_subscribers(std::uint16_t event_index,
                                 const std::vector<oq::com::runtime::Serialized_payload>& payloads);
    bool send_to_subscriber(std::uint16_t event_index, const Subscriber_address& to,
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
    Service_identity identity() const override;
    // The SD endpoint's way in (see Sd_service).
    Datagram_outcome process_sd(const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                                Sd_sessions& sessions) override;
    // Dispatches the outcome's method calls and applies its subscription
    // changes (payload formats, current values for new subscribers).
    void apply(Datagram_outcome& outcome) override;

private:
    // Runs one datagram through the datagram path under the port's lock: the
    // subscription table changes, the malformed count grows, and the answers
    // come back for the caller to send on the socket the datagram arrived on
    // (sd_sessions: that socket's SD session counters). Then apply() the rest.
    Datagram_outcome process(Arrival arrival, const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                             Sd_sessions& sd_sessions);

    // The service endpoint's receive loop: expiry of subscriptions, datagrams.
    std::chrono::milliseconds housekeeping() override;
    void on_datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) override;
    void on_truncated() override { ++m_malformed; }
    void on_failure(Stage stage, const char* what) noexcept override;

    Service_identity identity_locked() const;
    void send_reply(const someip::Header& request, const sockaddr_in& to,
                    const oq::com::runtime::Shared_payload& payload, std::uint8_t return_code);
    bool send_event(std::uint16_t event_index, const sockaddr_in* only,
                    const std::vector<oq::com::runtime::Serialized_payload>& payloads);
    // The event's payload formats follow from the table, set in the same
    // critical section that changed it: so no order of the threads that
    // change subscriptions can leave a subscriber without notifications.
    void sync_formats_locked(std::size_t event);
    void sync_formats_locked(const std::vector<std::size_t>& events);
    // Drops the subscribers whose notifications failed too often in a row.
    void drop_failing_locked();
    void log_refusals_locked(std::size_t refused, const sockaddr_in& from);
    void log_refusals_line(std::uint64_t count, std::uint32_t source) const;
    Port_event* event_at(std::size_t index) const;

    std::string m_service_name;
    std::uint16_t m_service_id;
    std::uint16_t m_instance_id;
    Service_interface_description m_description;
    std::string m_address;
    // Why the deployment file could not be used; empty when it could.
    std::string m_deployment_error;
    std::uint16_t m_port;

    // Guards the socket, the subscriptions, the events, the method sink and
    // the session counters of the endpoint.
    mutable std::mutex m_mutex;
    // Shared with the notifications a batch still holds.
    std::shared_ptr<Udp_socket> m_socket;
    someip::Ipv4_endpoint m_endpoint;  // where m_socket is bound
    Subscription_table m_subscriptions;
    std::vector<Port_event*> m_events;
    std::function<void(Method_request&&)> m_method_sink;

    someip::Session_counter m_notification_sessions;
    Sd_sessions m_sd_sessions;
    // Where subscriptions may direct notifications besides their own address.
    std::vector<Ipv4_network> m_extra_subscribers;
    Log_limiter m_refusals;  // per source address
    std::shared_ptr<Send_failures> m_send_failures;

    // Serialises offer and stop against each other; guards the loop and m_sd.
    std::mutex m_offer_mutex;
    std::unique_ptr<Receive_loop> m_loop;
    // The process's SD endpoint while offered; null when it could not be opened.
    std::shared_ptr<Sd_server> m_sd;

    std::atomic<std::uint64_t> m_malformed{0};
};

}  // namespace ux::com::cpp_binding::skeleton
