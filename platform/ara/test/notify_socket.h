// A datagram socket standing in for the service manager's notify socket
// (NOTIFY_SOCKET), for tests of what the platform tells systemd.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace ara::test {

class Notify_socket {
public:
    Notify_socket() {
        char dir[] = "/tmp/notify_test.XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            return;
        }
        m_dir = dir;
        m_path = m_dir + "/notify";
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        m_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Notify_socket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
        if (!m_dir.empty()) {
            unlink(m_path.c_str());
            rmdir(m_dir.c_str());
        }
    }
    Notify_socket(const Notify_socket&) = delete;
    Notify_socket& operator=(const Notify_socket&) = delete;

    bool bound() const { return m_bound; }
    const std::string& path() const { return m_path; }

    // The next message, or "<nothing>" when none came within the wait.
    std::string receive(std::chrono::milliseconds wait = std::chrono::seconds(2)) {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
        timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        return n < 0 ? std::string("<nothing>") : std::string(buf, static_cast<std::size_t>(n));
    }

    // Throws away whatever was sent so far.
    void drain() {
        char buf[256];
        while (recv(m_fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
        }
    }

private:
    std::string m_dir, m_path;
    int m_fd = -1;
    bool m_bound = false;
};

}  // namespace ara::test
