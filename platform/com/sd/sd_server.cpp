#include "com/sd/sd_server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "com/endpoint/binding_logger.h"

namespace ux::com::cpp_binding {
namespace {

constexpr int initial_repetitions = 3;
constexpr auto repetition_delay = std::chrono::milliseconds(100);
constexpr auto cyclic_delay = std::chrono::seconds(1);
constexpr auto longest_wait = std::chrono::milliseconds(1000);
// SD datagrams read per wake before announcements are looked at again.
constexpr std::size_t drain_bound = 64;

std::mutex registry_mutex;
std::weak_ptr<Sd_server> registry;

sockaddr_in sd_target(const Sd_deployment& d) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = parse_ipv4(d.address);
    target.sin_port = htons(d.port);
    return target;
}

// The SD socket: bound to the unicast SD address itself, or, for a
// multicast group, to the port on every address (shared with other SD users
// of the host, a local listener among them) with the group joined on the
// interface of interface_address.
Udp_socket open_socket(const Sd_deployment& d, const sockaddr_in& target, bool multicast) {
    sockaddr_in local = target;
    if (multicast) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    return Udp_socket(local, d.address + ":" + std::to_string(d.port), multicast);
}

}  // namespace

std::shared_ptr<Sd_server> Sd_server::acquire(const std::string& interface_address) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (auto server = registry.lock()) {
        return server;
    }
    std::shared_ptr<Sd_server> server(new Sd_server(find_sd_deployment(), interface_address));
    registry = server;
    return server;
}

void Sd_server::release(std::shared_ptr<Sd_server>& server) {
    // Under the registry's lock, so that the next acquire never meets a
    // closing endpoint that still holds the port.
    std::lock_guard<std::mutex> lock(registry_mutex);
    server.reset();
}

Sd_server::Sd_server(Sd_deployment deployment, const std::string& interface_address)
    : m_deployment(std::move(deployment)),
      m_target(sd_target(m_deployment)),
      m_socket(open_socket(m_deployment, m_target, IN_MULTICAST(ntohl(m_target.sin_addr.s_addr)))) {
    if (IN_MULTICAST(ntohl(m_target.sin_addr.s_addr))) {
        m_socket.join_multicast(m_deployment.address, interface_address);
    }
    m_loop.emplace(m_socket, static_cast<Datagram_receiver&>(*this), drain_bound);
}

Sd_server::~Sd_server() {
    // No lock here: this runs under the registry's lock, which must not come
    // before m_mutex (ports take m_mutex while offering).
    m_loop.reset();
}

void Sd_server::add(Sd_service* service) {
    const Service_identity identity = service->identity();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_announced.push_back(Announced{service, identity, Clock::now(), initial_repetitions});
    }
    m_loop->wake();
}

void Sd_server::remove(Sd_service* service) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_announced.begin(), m_announced.end(),
                           [service](const Announced& a) { return a.service == service; });
    if (it == m_announced.end()) {
        return;
    }
    send_offer(it->identity, 0);
    m_announced.erase(it);
}

std::chrono::milliseconds Sd_server::housekeeping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = Clock::now();
    auto wait = longest_wait;
    for (auto& a : m_announced) {
        if (a.due <= now) {
            send_offer(a.identity, someip::offer_ttl);
            if (a.repetitions_left > 0) {
                --a.repetitions_left;
                a.due = now + repetition_delay;
            } else {
                a.due = now + cyclic_delay;
            }
        }
        // One past the due time, so the next round finds it due.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(a.due - now) +
                          std::chrono::milliseconds(1);
        wait = std::clamp(left, std::chrono::milliseconds(0), wait);
    }
    return wait;
}

void Sd_server::on_datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // One SD message back, whatever the services have to say: a message
    // of many entries must not become many answers.
    std::vector<Datagram_outcome> outcomes;
    std::vector<someip::Sd_entry> answer;
    for (auto& a : m_announced) {
        outcomes.push_back(a.service->process_sd(data, size, from, m_sessions));
        for (const auto& reply : outcomes.back().replies) {
            send(reply.to, reply.bytes);
        }
        answer.insert(answer.end(), outcomes.back().sd_answer.begin(), outcomes.back().sd_answer.end());
    }
    if (!answer.empty()) {
        const Outgoing_datagram reply = encode_sd_answer(answer, m_sessions, from);
        send(reply.to, reply.bytes);
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        m_announced[i].service->apply(outcomes[i]);
    }
}

void Sd_server::on_failure(Stage stage, const char* what) noexcept {
    try {
        if (stage == Stage::housekeeping) {
            logger().LogError() << "Sd_server: announcement failed: " << (what != nullptr ? what : "unknown error");
        } else {
            logger().LogError() << "Sd_server: SD message dropped: " << (what != nullptr ? what : "unknown error");
        }
    } catch (...) {
    }
}

void Sd_server::send_offer(const Service_identity& identity, std::uint32_t ttl) {
    const auto stamp = m_sessions.next_multicast();
    send(m_target, someip::encode_sd_message(stamp.session, stamp.reboot,
                                             {someip::offer_entry(identity.service_id, identity.instance_id,
                                                                  identity.endpoint, ttl)}));
}

void Sd_server::send(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes) {
    iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    const bool sent = m_socket.send(to, &piece, 1);
    if (!sent && !m_send_failed) {
        const int err = errno;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &to.sin_addr, text, sizeof text);
        logger().LogError() << "Sd_server: cannot send to " << text << ":" << ntohs(to.sin_port) << ": "
                            << std::system_category().message(err);
    }
    // One line per failure streak, not one per second.
    m_send_failed = !sent;
}

}  // namespace ux::com::cpp_binding
