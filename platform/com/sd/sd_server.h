// The process's SOME/IP-SD endpoint, shared by every offered service: it
// announces the offered services (OfferService at the offer, three
// repetitions 100 ms apart, then every second; StopOfferService when the
// offer ends) to the deployment's SD address, and hands the SD messages it
// receives (FindService, subscriptions sent to the SD port) to the
// services' datagram path.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "com/endpoint/receive_loop.h"
#include "com/endpoint/udp_socket.h"
#include "com/sd/deployment.h"
#include "com/sd/sd_service.h"
#include "com/wire/session_counter.h"

namespace ux::com::cpp_binding {

class Sd_server : private Datagram_receiver {
public:
    // The process's SD endpoint, opened on first use. interface_address: the
    // local address that joins a multicast SD group. Throws std::system_error
    // or std::runtime_error when the endpoint cannot be opened.
    static std::shared_ptr<Sd_server> acquire(const std::string& interface_address);
    // Drops the caller's share; the last one closes the endpoint.
    static void release(std::shared_ptr<Sd_server>& server);

    ~Sd_server() override;
    Sd_server(const Sd_server&) = delete;
    Sd_server& operator=(const Sd_server&) = delete;

    // Starts announcing the service; it must stay alive until remove.
    void add(Sd_service* service);
    // Sends the StopOfferService of the service and forgets it.
    void remove(Sd_service* service);

    const Sd_deployment& deployment() const noexcept { return m_deployment; }

private:
    using Clock = std::chrono::steady_clock;
    struct Announced {
        Sd_service* service;
        Service_identity identity;
        Clock::time_point due;
        int repetitions_left;
    };

    Sd_server(Sd_deployment deployment, const std::string& interface_address);
    std::chrono::milliseconds housekeeping() override;
    void on_datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) override;
    void on_failure(Stage stage, const char* what) noexcept override;
    void send_offer(const Service_identity& identity, std::uint32_t ttl);
    void send(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes);

    Sd_deployment m_deployment;
    sockaddr_in m_target{};
    Udp_socket m_socket;

    // Guards the announced services, the session counters and sending.
    std::mutex m_mutex;
    std::vector<Announced> m_announced;
    Sd_sessions m_sessions;
    bool m_send_failed = false;
    // Last: its thread starts once everything it uses is there.
    std::optional<Receive_loop> m_loop;
};

}  // namespace ux::com::cpp_binding
