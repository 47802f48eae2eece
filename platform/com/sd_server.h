// The process's SOME/IP-SD endpoint, shared by every offered port: it
// announces the offered services (OfferService at the offer, three
// repetitions 100 ms apart, then every second; StopOfferService when the
// offer ends) to the deployment's SD address, and hands the SD messages it
// receives (FindService, subscriptions sent to the SD port) to the ports'
// datagram path.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com/datagram_handler.h"
#include "com/deployment.h"
#include "com/udp_socket.h"

namespace ux::com::cpp_binding {

namespace skeleton {
class Pport;
}

class Sd_server {
public:
    // The process's SD endpoint, opened on first use. interface_address: the
    // local address that joins a multicast SD group. Throws std::system_error
    // or std::runtime_error when the endpoint cannot be opened.
    static std::shared_ptr<Sd_server> acquire(const std::string& interface_address);
    // Drops the caller's share; the last one closes the endpoint.
    static void release(std::shared_ptr<Sd_server>& server);

    ~Sd_server();
    Sd_server(const Sd_server&) = delete;
    Sd_server& operator=(const Sd_server&) = delete;

    // Starts announcing the port's service; the port must stay alive until remove.
    void add(skeleton::Pport* port);
    // Sends the StopOfferService of the port's service and forgets it.
    void remove(skeleton::Pport* port);

    const Sd_deployment& deployment() const noexcept { return m_deployment; }

private:
    using Clock = std::chrono::steady_clock;
    struct Announced {
        skeleton::Pport* port;
        Service_identity identity;
        Clock::time_point due;
        int repetitions_left;
    };

    Sd_server(Sd_deployment deployment, const std::string& interface_address);
    void run();
    void announce_due(Clock::time_point now);
    void receive_pending(std::vector<std::uint8_t>& buffer);
    void send_offer(const Service_identity& identity, std::uint32_t ttl);
    void send(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes);

    Sd_deployment m_deployment;
    sockaddr_in m_target{};
    int m_fd = -1;
    Wake_event m_wake;

    // Guards the announced ports, the session counters and sending.
    std::mutex m_mutex;
    std::vector<Announced> m_announced;
    Sd_sessions m_sessions;
    std::atomic<bool> m_stop{false};
    bool m_send_failed = false;
    std::thread m_thread;
};

}  // namespace ux::com::cpp_binding
