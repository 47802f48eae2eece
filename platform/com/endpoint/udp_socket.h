// A bound, non-blocking UDP socket on IPv4, closed when the holder goes.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ux::com::cpp_binding {

class Udp_socket {
public:
    // Binds to address:port (port 0: any free port). Throws std::system_error.
    Udp_socket(const std::string& address, std::uint16_t port);
    // Binds to local; name is how errors call it. share_port: SO_REUSEADDR,
    // for a port that other users of the host bind too. Throws std::system_error.
    Udp_socket(const sockaddr_in& local, const std::string& name, bool share_port);
    ~Udp_socket();
    Udp_socket(const Udp_socket&) = delete;
    Udp_socket& operator=(const Udp_socket&) = delete;

    int fd() const noexcept { return m_fd; }
    // Joins the group on the interface with that address, sends to groups
    // from there and hears its own multicasts (peers on this host).
    void join_multicast(const std::string& group, const std::string& interface_address);
    sockaddr_in local_address() const;

    // Returns the datagram size, or -1 when nothing is waiting.
    long receive(std::uint8_t* buffer, std::size_t size, sockaddr_in& from);
    // Sends the pieces as one datagram; returns false on failure (errno says why).
    bool send(const sockaddr_in& to, const iovec* pieces, std::size_t count);

private:
    int m_fd = -1;
};

// The IPv4 address of dotted-decimal text; throws std::system_error.
in_addr parse_ipv4(const std::string& text);

// An eventfd used to wake a poll() loop, closed when the holder goes.
class Wake_event {
public:
    Wake_event();
    ~Wake_event();
    Wake_event(const Wake_event&) = delete;
    Wake_event& operator=(const Wake_event&) = delete;
    int fd() const noexcept { return m_fd; }
    // Joins the group on the interface with that address, sends to groups
    // from there and hears its own multicasts (peers on this host).
    void join_multicast(const std::string& group, const std::string& interface_address);
    void signal();
    void drain();

private:
    int m_fd = -1;
};

}  // namespace ux::com::cpp_binding
