#include "com/endpoint/udp_socket.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace ux::com::cpp_binding {
namespace {

sockaddr_in ipv4_address(const std::string& address, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr = parse_ipv4(address);
    return addr;
}

void set_option(int fd, int level, int name, const void* value, socklen_t size, const std::string& what) {
    if (::setsockopt(fd, level, name, value, size) != 0) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

}  // namespace

in_addr parse_ipv4(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        throw std::system_error(EINVAL, std::generic_category(), "bad IPv4 address " + text);
    }
    return a;
}

// No SO_REUSEADDR for a service endpoint: for UDP it would let a second
// offer share the endpoint silently instead of failing.
Udp_socket::Udp_socket(const std::string& address, std::uint16_t port)
    : Udp_socket(ipv4_address(address, port), address + ":" + std::to_string(port), false) {}

Udp_socket::Udp_socket(const sockaddr_in& local, const std::string& name, bool share_port) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    try {
        if (share_port) {
            const int on = 1;
            set_option(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "SO_REUSEADDR");
        }
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            throw std::system_error(errno, std::generic_category(), "bind " + name);
        }
    } catch (...) {
        ::close(m_fd);
        throw;
    }
}

Udp_socket::~Udp_socket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void Udp_socket::join_multicast(const std::string& group, const std::string& interface_address) {
    ip_mreq membership{};
    membership.imr_multiaddr = parse_ipv4(group);
    membership.imr_interface = parse_ipv4(interface_address);
    set_option(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership, "join " + group);
    set_option(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &membership.imr_interface, sizeof membership.imr_interface,
               "IP_MULTICAST_IF");
    const unsigned char loop = 1;
    set_option(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop, "IP_MULTICAST_LOOP");
}

sockaddr_in Udp_socket::local_address() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return addr;
}

long Udp_socket::receive(std::uint8_t* buffer, std::size_t size, sockaddr_in& from) {
    socklen_t len = sizeof from;
    for (;;) {
        const ssize_t n = ::recvfrom(m_fd, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

bool Udp_socket::send(const sockaddr_in& to, const iovec* pieces, std::size_t count) {
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&to);
    msg.msg_namelen = sizeof to;
    msg.msg_iov = const_cast<iovec*>(pieces);
    msg.msg_iovlen = count;
    for (;;) {
        const ssize_t n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n >= 0;
    }
}

Wake_event::Wake_event() {
    m_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

Wake_event::~Wake_event() { ::close(m_fd); }

void Wake_event::signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_fd, &one, sizeof one);
}

void Wake_event::drain() {
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(m_fd, &value, sizeof value);
}

}  // namespace ux::com::cpp_binding
