#include "sensor/capture/testing/kernel_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace capture_kernel {

namespace {

// Closes a descriptor when the scope ends.
class Fd_holder {
public:
    explicit Fd_holder(int fd) : m_fd(fd) {}
    ~Fd_holder() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd_holder(const Fd_holder&) = delete;
    Fd_holder& operator=(const Fd_holder&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

bool in_private_network_namespace() {
    // A fresh network namespace has the loopback device and nothing else;
    // the host's has its real interfaces.
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) {
        return false;
    }
    bool only_loopback = true;
    for (const struct if_nameindex* entry = names; entry->if_index != 0; ++entry) {
        only_loopback = only_loopback && std::strcmp(entry->if_name, "lo") == 0;
    }
    if_freenameindex(names);
    return only_loopback;
}

bool bring_loopback_up() {
    Fd_holder fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    return ioctl(fd.get(), SIOCSIFFLAGS, &request) == 0;
}

bool load_nft_ruleset(const std::string& ruleset, std::string& diagnostics) {
    char path[] = "/tmp/capture-nft-XXXXXX";
    Fd_holder fd(mkstemp(path));
    if (fd.get() < 0) {
        diagnostics = "cannot create a temporary file";
        return false;
    }
    const bool written = write(fd.get(), ruleset.data(), ruleset.size()) == static_cast<ssize_t>(ruleset.size());
    std::string command = std::string("nft -f ") + path + " 2>&1";
    bool ok = false;
    if (written) {
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char line[512];
            while (fgets(line, sizeof line, pipe) != nullptr) {
                diagnostics += line;
            }
            ok = pclose(pipe) == 0;
        }
    }
    unlink(path);
    return ok;
}

std::string nflog_rule(std::uint16_t udp_port, std::uint16_t group, const std::string& prefix) {
    return "udp dport " + std::to_string(udp_port) + " log group " + std::to_string(group) +
           " queue-threshold 1 prefix \"" + prefix + "\"";
}

std::string output_table(const std::vector<std::string>& rules) {
    std::string text = "table inet capture_test {\n  chain out {\n    type filter hook output priority 0; policy accept;\n";
    for (const auto& rule : rules) {
        text += "    " + rule + "\n";
    }
    text += "  }\n}\n";
    return text;
}

Udp_sender::Udp_sender() {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        m_source_port = ntohs(local.sin_port);
    }
}

Udp_sender::~Udp_sender() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool Udp_sender::send(std::uint16_t port, const std::vector<std::uint8_t>& data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(data.size());
}

}  // namespace capture_kernel
