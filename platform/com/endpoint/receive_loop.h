// The one receive thread of a UDP endpoint: it waits on the socket and a
// wake-up event, drains what is queued (a bounded number of datagrams per
// wake, so a flood cannot hold off a stop) and hands each datagram to the
// layer above. Nothing leaves the thread: a failure costs the datagram or
// the housekeeping at hand, and is reported to the layer above.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "com/endpoint/udp_socket.h"

namespace ux::com::cpp_binding {

// Implemented by the layer that owns the endpoint; called on the loop's thread.
class Datagram_receiver {
public:
    enum class Stage { housekeeping, datagram };

    virtual ~Datagram_receiver() = default;
    // Before each wait: timers due now; returns how long the loop may wait.
    virtual std::chrono::milliseconds housekeeping() = 0;
    // One datagram; data is valid only during the call.
    virtual void on_datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) = 0;
    // A datagram larger than the receive buffer (it was cut, so not handled).
    virtual void on_truncated() {}
    // What an exception from a stage cost; what is null for a non-standard one.
    virtual void on_failure(Stage stage, const char* what) noexcept = 0;
};

class Receive_loop {
public:
    // The socket and receiver must outlive the loop; drain_bound: datagrams
    // read per wake before housekeeping and the stop request are looked at.
    Receive_loop(Udp_socket& socket, Datagram_receiver& receiver, std::size_t drain_bound);
    // Stops the thread.
    ~Receive_loop();
    Receive_loop(const Receive_loop&) = delete;
    Receive_loop& operator=(const Receive_loop&) = delete;

    // Makes the loop run its housekeeping now.
    void wake() { m_wake.signal(); }
    // Ends the thread after the datagram at hand; repeatable.
    void stop();

private:
    void run();
    void drain(std::uint8_t* buffer, std::size_t size);

    Udp_socket& m_socket;
    Datagram_receiver& m_receiver;
    std::size_t m_drain_bound;
    Wake_event m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace ux::com::cpp_binding
