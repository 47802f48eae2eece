#include "someip_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace someip_test {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v >> 16));
    put16(out, static_cast<std::uint16_t>(v));
}
std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t get32(const std::uint8_t* p) { return static_cast<std::uint32_t>(get16(p)) << 16 | get16(p + 2); }

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

}  // namespace

Client::Client() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 4 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in addr = loopback(0);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("client bind failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
}

Client::~Client() { ::close(m_fd); }

void Client::send_raw(std::uint16_t server_port, const std::vector<std::uint8_t>& bytes) {
    sockaddr_in to = loopback(server_port);
    ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void Client::send_get(std::uint16_t server_port, std::uint16_t service_id, std::uint16_t method_id,
                      std::uint16_t session_id) {
    std::vector<std::uint8_t> m;
    put16(m, service_id);
    put16(m, method_id);
    put32(m, 8);
    put16(m, 0x4242);
    put16(m, session_id);
    m.insert(m.end(), {1, 1, 0x00, 0x00});
    send_raw(server_port, m);
}

void Client::subscribe(std::uint16_t server_port, std::uint16_t service_id, std::uint16_t instance_id,
                       std::uint16_t eventgroup_id, std::uint32_t ttl) {
    std::vector<std::uint8_t> m;
    put16(m, 0xffff);
    put16(m, 0x8100);
    put32(m, 8 + 12 + 16 + 12);
    put16(m, 0);
    put16(m, ++m_session);
    m.insert(m.end(), {1, 1, 0x02, 0x00});
    m.insert(m.end(), {0xc0, 0, 0, 0});
    put32(m, 16);
    // SubscribeEventgroup entry with one option (index 0)
    m.insert(m.end(), {0x06, 0x00, 0x00, 0x10});
    put16(m, service_id);
    put16(m, instance_id);
    m.push_back(1);
    m.insert(m.end(), {static_cast<std::uint8_t>(ttl >> 16), static_cast<std::uint8_t>(ttl >> 8),
                       static_cast<std::uint8_t>(ttl)});
    m.insert(m.end(), {0, 0});
    put16(m, eventgroup_id);
    put32(m, 12);
    // IPv4 endpoint option: where notifications go
    put16(m, 9);
    m.insert(m.end(), {0x04, 0x00, 127, 0, 0, 1, 0x00, 0x11});
    put16(m, m_port);
    send_raw(server_port, m);
}

std::optional<Message> Client::receive(std::chrono::milliseconds timeout) {
    pollfd fd{m_fd, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(65536);
    const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
    if (n < 16) {
        return std::nullopt;
    }
    Message msg;
    const std::uint8_t* p = buffer.data();
    msg.service_id = get16(p);
    msg.method_id = get16(p + 2);
    msg.length = get32(p + 4);
    msg.client_id = get16(p + 8);
    msg.session_id = get16(p + 10);
    msg.protocol_version = p[12];
    msg.interface_version = p[13];
    msg.message_type = p[14];
    msg.return_code = p[15];
    msg.payload.assign(p + 16, p + n);
    return msg;
}

std::optional<Message> Client::receive_non_sd(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        auto msg = receive(left);
        if (!msg || msg->service_id != 0xffff) {
            return msg;
        }
    }
}

std::optional<Sd_answer> Client::receive_sd(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        auto msg = receive(left);
        if (!msg) {
            return std::nullopt;
        }
        if (msg->service_id != 0xffff || msg->payload.size() < 12 + 16) {
            continue;
        }
        const std::uint8_t* e = msg->payload.data() + 8;
        Sd_answer a;
        a.type = e[0];
        a.service_id = get16(e + 4);
        a.instance_id = get16(e + 6);
        a.ttl = static_cast<std::uint32_t>(e[9] << 16 | e[10] << 8 | e[11]);
        a.eventgroup_id = get16(e + 14);
        return a;
    }
}

std::optional<std::vector<std::uint8_t>> Client::get(std::uint16_t server_port, std::uint16_t service_id,
                                                     std::uint16_t method_id) {
    send_get(server_port, service_id, method_id);
    auto msg = receive_non_sd();
    if (!msg || msg->message_type != 0x80 || msg->method_id != method_id) {
        return std::nullopt;
    }
    return msg->payload;
}

std::uint16_t free_udp_port() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

void use_deployment(const std::string& path, std::uint16_t ethernet_port, std::uint16_t ipsec_port,
                    std::uint16_t test_port) {
    std::ofstream out(path);
    out << "{\"ksr::services::idsethernetsensor::IDSEthernetSensor\": {\"port\": " << ethernet_port << "},"
        << "\"ksr::services::idsipsecuritysensor::IDSIpSecuritySensor\": {\"address\": \"127.0.0.1\", \"port\": "
        << ipsec_port << "},"
        << "\"test::Service\": {\"service_id\": 4660, \"port\": " << test_port << "},"
        // Offers of parallel test runs must not meet on the shared SD port.
        << "\"service_discovery\": {\"port\": " << free_udp_port() << "}}";
    out.close();
    ::setenv("UX_COM_DEPLOYMENT", path.c_str(), 1);
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ') {
            digits.push_back(c);
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s.push_back(d[b >> 4]);
        s.push_back(d[b & 15]);
    }
    return s;
}

}  // namespace someip_test
