#include "com/binding/pport.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "com/endpoint/binding_logger.h"
#include "com/sd/deployment.h"
#include "com/binding/illegal_state_exception.h"
#include "com/endpoint/notification_batch.h"

namespace ux::com::cpp_binding::skeleton {
namespace {

// Bounds the subscription table against a flood of subscribers.
constexpr std::size_t max_subscribers_per_event = 64;
// Longest wait of the receive loop. A subscription lasts at least a second,
// so one made meanwhile through the SD endpoint cannot expire before the wait
// ends; an idle service wakes once a second.
constexpr auto longest_wait = std::chrono::milliseconds(1000);
// Datagrams read per wake before expiry and the stop request are looked at.
constexpr std::size_t drain_bound = 256;

// The service's deployment. A deployment file that cannot be read or used
// is not replaced by the defaults (clients that read it would look
// elsewhere): its reason is kept in `error` and the offer fails with it.
Service_deployment deployment_for(const std::string& service_name, std::string& error) {
    try {
        if (auto d = find_deployment(service_name)) {
            return *d;
        }
    } catch (const std::exception& e) {
        error = e.what();
        if (auto d = resolve_deployment(service_name, nullptr)) {
            return *d;
        }
        return Service_deployment{0, "", 0};
    }
    logger().LogError() << "Pport: no deployment for service " << service_name;
    throw Illegal_state_exception("Pport: no deployment for service " + service_name);
}

}  // namespace

Pport::Pport(const std::string& service_name, const std::string& instance, Service_interface_description description)
    : m_service_name(service_name),
      m_service_id(0),
      m_instance_id(instance_id_from_string(instance)),
      m_description(description),
      m_port(0),
      m_subscriptions(description.events(), max_subscribers_per_event),
      m_events(description.events(), nullptr),
      m_send_failures(std::make_shared<Send_failures>()) {
    const Service_deployment d = deployment_for(service_name, m_deployment_error);
    try {
        m_extra_subscribers = find_sd_deployment().subscribers;
    } catch (const std::exception&) {
        // The SD endpoint reports the file when it opens; meanwhile only
        // subscribers' own addresses are accepted.
    }
    m_service_id = d.service_id;
    m_address = d.address;
    m_port = d.port;
    logger().LogInfo() << "Pport: " << service_name << " instance \"" << instance << "\" uses service ID "
                       << m_service_id << ", instance ID " << m_instance_id << ", endpoint " << m_address << ":"
                       << m_port;
}

Pport::~Pport() { stop_offer(); }

void Pport::register_event(std::uint16_t index, Port_event* event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_events.size()) {
        throw Illegal_state_exception("Pport: event index " + std::to_string(index) + " outside the description");
    }
    m_events[index] = event;
    sync_formats_locked(index);
}

void Pport::set_method_sink(std::function<void(Method_request&&)> sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_method_sink = std::move(sink);
}

void Pport::start_offer() {
    std::lock_guard<std::mutex> offer_lock(m_offer_mutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_socket) {
            return;
        }
        if (!m_deployment_error.empty()) {
            const char* path = std::getenv("UX_COM_DEPLOYMENT");
            throw Offer_failed("offer of " + m_service_name + " failed: no usable endpoint in the deployment file " +
                               (path != nullptr ? path : "") + ": " + m_deployment_error);
        }
        try {
            m_socket = std::make_shared<Udp_socket>(m_address, m_port);
        } catch (const std::exception& e) {
            throw Offer_failed("offer of " + m_service_name + " at " + m_address + ":" + std::to_string(m_port) +
                               " failed: " + e.what());
        }
        const sockaddr_in local = m_socket->local_address();
        m_endpoint = someip::Ipv4_endpoint{ntohl(local.sin_addr.s_addr), ntohs(local.sin_port), someip::l4_udp};
    }
    try {
        m_loop = std::make_unique<Receive_loop>(*m_socket, static_cast<Datagram_receiver&>(*this), drain_bound);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_socket.reset();
        throw;
    }
    // Clients must not depend on offers, so a missing SD endpoint costs the
    // announcement only.
    try {
        m_sd = Sd_server::acquire(m_address);
        m_sd->add(this);
        logger().LogInfo() << "Pport: " << m_service_name << " announced by service discovery to "
                           << m_sd->deployment().address << ":" << m_sd->deployment().port;
    } catch (const std::exception& e) {
        logger().LogError() << "Pport: " << m_service_name << " is not announced by service discovery: " << e.what();
        Sd_server::release(m_sd);
    }
}

void Pport::stop_offer() {
    std::lock_guard<std::mutex> offer_lock(m_offer_mutex);
    if (m_sd) {
        m_sd->remove(this);
        Sd_server::release(m_sd);
    }
    m_loop.reset();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_socket.reset();
    sync_formats_locked(m_subscriptions.clear());
}

bool Pport::is_offered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_socket != nullptr;
}

std::optional<sockaddr_in> Pport::local_endpoint() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_socket) {
        return std::nullopt;
    }
    return m_socket->local_address();
}

std::size_t Pport::subscriber_count(std::uint16_t event_index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscriptions.count(event_index);
}

bool Pport::send_to_all_subscribers(std::uint16_t event_index,
                                    const std::vector<oq::com::runtime::Serialized_payload>& payloads) {
    return send_event(event_index, nullptr, payloads);
}

bool Pport::send_to_subscriber(std::uint16_t event_index, const Subscriber_address& to,
                               const std::vector<oq::com::runtime::Serialized_payload>& payloads) {
    return send_event(event_index, &to.address, payloads);
}

bool Pport::send_event(std::uint16_t event_index, const sockaddr_in* only,
                       const std::vector<oq::com::runtime::Serialized_payload>& payloads) {
    const oq::com::runtime::Payload_buffer* body = nullptr;
    for (const auto& p : payloads) {
        if (p.format == 0 && p.data) {
            body = p.data.get();
            break;
        }
    }
    if (body == nullptr) {
        return is_offered();
    }
    // Several subscribers get theirs in one sendmmsg; inside a caller's batch
    // the datagrams wait for its end. Declared before the lock: sent after it.
    std::optional<Notification_batch> several;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_socket) {
        return false;
    }
    drop_failing_locked();
    if (event_index >= m_subscriptions.event_count()) {
        return true;
    }
    const someip::Header h =
        someip::notification_header(m_service_id, event_index, m_notification_sessions.next().session, body->size());
    std::uint8_t header[someip::header_size];
    someip::encode_header(h, header);
    iovec pieces[2] = {{header, sizeof header},
                       {const_cast<std::uint8_t*>(body->data()), body->size()}};
    bool failed = false;
    if (only != nullptr) {
        failed = !send_or_hold(m_socket, *only, pieces, 2, h.method_id, m_send_failures);
    } else {
        if (m_subscriptions.count(event_index) > 1) {
            several.emplace();
        }
        for (const auto& s : m_subscriptions.subscribers(event_index)) {
            failed |= !send_or_hold(m_socket, to_sockaddr(s.endpoint), pieces, 2, h.method_id, m_send_failures);
        }
    }
    if (failed) {
        logger().LogError() << "Pport: notification " << h.method_id << " of service " << m_service_id
                            << " could not be sent to every subscriber";
    }
    return true;
}

Service_identity Pport::identity() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return identity_locked();
}

Service_identity Pport::identity_locked() const {
    Service_identity id;
    id.service_id = m_service_id;
    id.instance_id = m_instance_id;
    id.methods = m_description.methods();
    id.events = m_description.events();
    id.accepts_methods = static_cast<bool>(m_method_sink);
    id.extra_subscribers = m_extra_subscribers;
    if (m_socket) {
        id.endpoint = m_endpoint;
    }
    return id;
}

std::chrono::milliseconds Pport::housekeeping() {
    const auto now = Subscription_table::Clock::now();
    std::optional<Subscription_table::Clock::time_point> next;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sync_formats_locked(m_subscriptions.expire(now));
        drop_failing_locked();
        for (const auto& [source, count] : m_refusals.take_due(now)) {
            log_refusals_line(count, source);
        }
        next = m_subscriptions.next_expiry();
    }
    if (!next) {
        return longest_wait;
    }
    // Rounded up, so the sweep after the wait finds it expired.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return std::clamp(left, std::chrono::milliseconds(0), longest_wait);
}

void Pport::on_datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
    Datagram_outcome outcome = process(Arrival::service_endpoint, data, size, from, m_sd_sessions);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& reply : outcome.replies) {
            iovec piece{const_cast<std::uint8_t*>(reply.bytes.data()), reply.bytes.size()};
            if (m_socket && !m_socket->send(reply.to, &piece, 1)) {
                logger().LogError() << "Pport: an answer of service " << m_service_id << " could not be sent";
            }
        }
    }
    apply(outcome);
}

void Pport::on_failure(Stage, const char* what) noexcept {
    try {
        if (what != nullptr) {
            logger().LogError() << "Pport: datagram of service " << m_service_id << " dropped: " << what;
        } else {
            logger().LogError() << "Pport: datagram of service " << m_service_id << " dropped";
        }
    } catch (...) {
    }
}

Datagram_outcome Pport::process_sd(const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                                   Sd_sessions& sessions) {
    return process(Arrival::sd_endpoint, data, size, from, sessions);
}

Datagram_outcome Pport::process(Arrival arrival, const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                                Sd_sessions& sd_sessions) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Datagram_outcome outcome = handle_datagram(identity_locked(), arrival, m_subscriptions, sd_sessions,
                                               Subscription_table::Clock::now(), data, size, from);
    if (outcome.malformed) {
        ++m_malformed;
    }
    for (const auto& change : outcome.changes) {
        if (change.kind != Subscription_change::Kind::new_subscriber) {
            sync_formats_locked(change.event);
        }
    }
    log_refusals_locked(outcome.refused_subscriptions, from);
    return outcome;
}

void Pport::apply(Datagram_outcome& outcome) {
    std::function<void(Method_request&&)> sink;
    if (!outcome.calls.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        sink = m_method_sink;
    }
    for (auto& call : outcome.calls) {
        if (!sink) {
            send_reply(call.header, call.from, nullptr, someip::return_code::e_unknown_method);
            continue;
        }
        Method_request request;
        request.method_id = call.header.method_id;
        request.payload = std::move(call.payload);
        request.reply = [this, header = call.header, from = call.from](const oq::com::runtime::Shared_payload& body,
                                                                        std::uint8_t code) {
            send_reply(header, from, body, code);
        };
        sink(std::move(request));
    }
    // The formats were set by process(); what is left is the current value
    // for new subscribers, which runs the event's notification and so must
    // not hold the port's lock.
    for (const auto& change : outcome.changes) {
        if (change.kind == Subscription_change::Kind::new_subscriber) {
            if (Port_event* e = event_at(change.event)) {
                e->request_update(Subscriber_address{change.subscriber});
            }
        }
    }
}

void Pport::send_reply(const someip::Header& request, const sockaddr_in& to,
                       const oq::com::runtime::Shared_payload& payload, std::uint8_t return_code) {
    const someip::Header h = someip::answer_header(request, return_code, payload ? payload->size() : 0);
    const std::size_t body_size = someip::payload_size(h);
    std::uint8_t header[someip::header_size];
    someip::encode_header(h, header);
    iovec pieces[2] = {{header, sizeof header}, {body_size ? payload->data() : nullptr, body_size}};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_socket && !m_socket->send(to, pieces, body_size ? 2 : 1)) {
        logger().LogError() << "Pport: answer to method " << request.method_id << " could not be sent";
    }
}

void Pport::sync_formats_locked(std::size_t event) {
    if (event < m_events.size() && m_events[event] != nullptr) {
        m_events[event]->set_payload_formats(m_subscriptions.count(event) > 0
                                                 ? std::vector<std::uint32_t>{0}
                                                 : std::vector<std::uint32_t>{Port_event::no_format});
    }
}

void Pport::sync_formats_locked(const std::vector<std::size_t>& events) {
    for (auto event : events) {
        sync_formats_locked(event);
    }
}

void Pport::drop_failing_locked() {
    for (const auto& to : m_send_failures->take_given_up()) {
        const someip::Ipv4_endpoint endpoint{ntohl(to.sin_addr.s_addr), ntohs(to.sin_port), someip::l4_udp};
        sync_formats_locked(m_subscriptions.remove_everywhere(endpoint));
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &to.sin_addr, text, sizeof text);
        logger().LogError() << "Pport: subscriber " << text << ":" << ntohs(to.sin_port) << " of service "
                            << m_service_id << " dropped after " << Send_failures::limit
                            << " failed notifications in a row";
    }
}

void Pport::log_refusals_locked(std::size_t refused, const sockaddr_in& from) {
    if (refused == 0) {
        return;
    }
    const std::uint32_t source = ntohl(from.sin_addr.s_addr);
    if (const auto n = m_refusals.count(source, refused, Log_limiter::Clock::now())) {
        log_refusals_line(n, source);
    }
}

void Pport::log_refusals_line(std::uint64_t count, std::uint32_t source) const {
    const in_addr address{htonl(source)};
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address, text, sizeof text);
    logger().LogError() << "Pport: refused " << count << " subscriptions to service " << m_service_id << " from "
                        << text << ": notifications go only to a UDP port of the subscriber's own address";
}

Port_event* Pport::event_at(std::size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_events.size() ? m_events[index] : nullptr;
}

}  // namespace ux::com::cpp_binding::skeleton
