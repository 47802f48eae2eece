#include "com/endpoint/receive_loop.h"

#include <poll.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace ux::com::cpp_binding {
namespace {

constexpr std::size_t max_datagram = 65536;
// The wait when housekeeping failed: try again soon, but not in a spin.
constexpr int wait_after_failure_ms = 1000;

}  // namespace

Receive_loop::Receive_loop(Udp_socket& socket, Datagram_receiver& receiver, std::size_t drain_bound)
    : m_socket(socket), m_receiver(receiver), m_drain_bound(drain_bound) {
    m_thread = std::thread([this] { run(); });
}

Receive_loop::~Receive_loop() { stop(); }

void Receive_loop::stop() {
    m_stop = true;
    m_wake.signal();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
}

void Receive_loop::run() {
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(max_datagram);
    } catch (...) {
        m_receiver.on_failure(Datagram_receiver::Stage::housekeeping, "no memory for the receive buffer");
        return;
    }
    while (!m_stop.load()) {
        int timeout_ms = wait_after_failure_ms;
        try {
            const auto wait = m_receiver.housekeeping();
            timeout_ms = static_cast<int>(std::clamp<long long>(wait.count(), 0, wait_after_failure_ms));
        } catch (const std::exception& e) {
            m_receiver.on_failure(Datagram_receiver::Stage::housekeeping, e.what());
        } catch (...) {
            m_receiver.on_failure(Datagram_receiver::Stage::housekeeping, nullptr);
        }
        pollfd fds[2] = {{m_socket.fd(), POLLIN, 0}, {m_wake.fd(), POLLIN, 0}};
        ::poll(fds, 2, timeout_ms);
        if ((fds[1].revents & POLLIN) != 0) {
            m_wake.drain();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            drain(buffer.data(), buffer.size());
        }
    }
}

void Receive_loop::drain(std::uint8_t* buffer, std::size_t size) {
    for (std::size_t i = 0; i < m_drain_bound && !m_stop.load(); ++i) {
        sockaddr_in from{};
        const long n = m_socket.receive(buffer, size, from);
        if (n < 0) {
            return;
        }
        if (static_cast<std::size_t>(n) > size) {
            m_receiver.on_truncated();
            continue;
        }
        try {
            m_receiver.on_datagram(buffer, static_cast<std::size_t>(n), from);
        } catch (const std::exception& e) {
            m_receiver.on_failure(Datagram_receiver::Stage::datagram, e.what());
        } catch (...) {
            m_receiver.on_failure(Datagram_receiver::Stage::datagram, nullptr);
        }
    }
}

}  // namespace ux::com::cpp_binding
