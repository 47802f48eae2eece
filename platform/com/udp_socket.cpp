#include "com/udp_socket.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace ux::com::cpp_binding {

Udp_socket::Udp_socket(const std::string& address, std::uint16_t port) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        ::close(m_fd);
        throw std::system_error(EINVAL, std::generic_category(), "bad IPv4 address " + address);
    }
    // No SO_REUSEADDR: for UDP it would let a second offer share the
    // endpoint silently instead of failing.
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(m_fd);
        throw std::system_error(err, std::generic_category(), "bind " + address + ":" + std::to_string(port));
    }
}

Udp_socket::~Udp_socket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
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
