#include "com/sd_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "com/binding_logger.h"
#include "com/pport.h"

namespace ux::com::cpp_binding {
namespace {

// Offers last three cycles, so one lost offer does not make clients drop
// the service.
constexpr std::uint32_t offer_ttl = 3;
constexpr int initial_repetitions = 3;
constexpr auto repetition_delay = std::chrono::milliseconds(100);
constexpr auto cyclic_delay = std::chrono::seconds(1);
constexpr std::size_t max_datagram = 65536;

std::mutex registry_mutex;
std::weak_ptr<Sd_server> registry;

in_addr parse_ipv4(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        throw std::system_error(EINVAL, std::generic_category(), "bad IPv4 address " + text);
    }
    return a;
}

void set_option(int fd, int level, int name, const void* value, socklen_t size, const char* what) {
    if (::setsockopt(fd, level, name, value, size) != 0) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

// Opens the SD socket: bound to the unicast SD address itself, or, for a
// multicast group, to the port on every address with the group joined on
// the interface of interface_address (the port is then shared with other
// SD users of the host, hence SO_REUSEADDR).
int open_socket(const Sd_deployment& d, const std::string& interface_address, sockaddr_in& target) {
    target.sin_family = AF_INET;
    target.sin_addr = parse_ipv4(d.address);
    target.sin_port = htons(d.port);
    const bool multicast = IN_MULTICAST(ntohl(target.sin_addr.s_addr));

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    try {
        sockaddr_in local = target;
        if (multicast) {
            const int on = 1;
            set_option(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "SO_REUSEADDR");
            local.sin_addr.s_addr = htonl(INADDR_ANY);
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "bind " + d.address + ":" + std::to_string(d.port));
        }
        if (multicast) {
            ip_mreq membership{};
            membership.imr_multiaddr = target.sin_addr;
            membership.imr_interface = parse_ipv4(interface_address);
            set_option(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership,
                       ("join " + d.address).c_str());
            set_option(fd, IPPROTO_IP, IP_MULTICAST_IF, &membership.imr_interface, sizeof membership.imr_interface,
                       "IP_MULTICAST_IF");
            // Peers on this host (a local listener) hear the offers too.
            const unsigned char loop = 1;
            set_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop, "IP_MULTICAST_LOOP");
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
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
    : m_deployment(std::move(deployment)) {
    m_fd = open_socket(m_deployment, interface_address, m_target);
    try {
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        ::close(m_fd);
        throw;
    }
}

Sd_server::~Sd_server() {
    // No lock here: this runs under the registry's lock, which must not come
    // before m_mutex (ports take m_mutex while offering).
    m_stop = true;
    m_wake.signal();
    m_thread.join();
    ::close(m_fd);
}

void Sd_server::add(skeleton::Pport* port) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_announced.push_back(Announced{port, port->identity(), Clock::now(), initial_repetitions});
    }
    m_wake.signal();
}

void Sd_server::remove(skeleton::Pport* port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_announced.begin(), m_announced.end(),
                           [port](const Announced& a) { return a.port == port; });
    if (it == m_announced.end()) {
        return;
    }
    send_offer(it->identity, 0);
    m_announced.erase(it);
}

void Sd_server::run() {
    std::vector<std::uint8_t> buffer(max_datagram);
    for (;;) {
        int timeout_ms = 1000;
        // Nothing may leave the thread: a failure costs one datagram or one
        // announcement, not service discovery.
        try {
            if (m_stop.load()) {
                return;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto now = Clock::now();
            announce_due(now);
            for (const auto& a : m_announced) {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(a.due - now).count() + 1;
                timeout_ms = std::clamp(static_cast<int>(wait), 0, timeout_ms);
            }
        } catch (const std::exception& e) {
            logger().LogError() << "Sd_server: announcement failed: " << e.what();
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake.fd(), POLLIN, 0}};
        ::poll(fds, 2, timeout_ms);
        if ((fds[1].revents & POLLIN) != 0) {
            m_wake.drain();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            try {
                receive_pending(buffer);
            } catch (const std::exception& e) {
                logger().LogError() << "Sd_server: SD message dropped: " << e.what();
            }
        }
    }
}

void Sd_server::announce_due(Clock::time_point now) {
    for (auto& a : m_announced) {
        if (a.due > now) {
            continue;
        }
        send_offer(a.identity, offer_ttl);
        if (a.repetitions_left > 0) {
            --a.repetitions_left;
            a.due = now + repetition_delay;
        } else {
            a.due = now + cyclic_delay;
        }
    }
}

void Sd_server::receive_pending(std::vector<std::uint8_t>& buffer) {
    for (int i = 0; i < 64; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (static_cast<std::size_t>(n) > buffer.size()) {
            continue;  // truncated: not a datagram we could answer
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& a : m_announced) {
            Datagram_outcome outcome =
                a.port->process(Arrival::sd_endpoint, buffer.data(), static_cast<std::size_t>(n), from, &m_sessions);
            for (const auto& reply : outcome.replies) {
                send(reply.to, reply.bytes);
            }
            a.port->apply(outcome);
        }
    }
}

void Sd_server::send_offer(const Service_identity& identity, std::uint32_t ttl) {
    const auto stamp = m_sessions.next_multicast();
    send(m_target, someip::encode_sd_message(stamp.session, stamp.reboot, {offer_entry(identity, ttl)}));
}

void Sd_server::send(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes) {
    const ssize_t n = ::sendto(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                               sizeof to);
    if (n < 0 && !m_send_failed) {
        const int err = errno;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &to.sin_addr, text, sizeof text);
        logger().LogError() << "Sd_server: cannot send to " << text << ":" << ntohs(to.sin_port) << ": "
                            << std::system_category().message(err);
    }
    // One line per failure streak, not one per second.
    m_send_failed = n < 0;
}

}  // namespace ux::com::cpp_binding
