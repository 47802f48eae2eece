// Guest probe for the sensor end to end: subscribes over SOME/IP to the
// fields that the logging rules feed, makes one packet of each kind on
// loopback and waits until every expected report has arrived in a
// notification. Exit status 0 when all arrived, 1 otherwise.
//
//   report_probe [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "someip_client.h"

namespace {

constexpr std::uint16_t ethernet_service = 0x1001;
constexpr std::uint16_t ethernet_port = 30501;
constexpr std::uint16_t ipsec_service = 0x1002;
constexpr std::uint16_t ipsec_port = 30502;
constexpr std::uint16_t instance = 1;

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct Expectation {
    const char* what;
    std::uint16_t service;
    std::uint16_t event;  // 0x8000 + field index
    std::vector<std::vector<std::uint8_t>> needles;
    bool seen = false;
};

bool contains(const std::vector<std::uint8_t>& hay, const std::vector<std::uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

void send_udp(std::uint16_t port, const std::vector<std::uint8_t>& payload) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto sent = ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int error = errno;
    ::close(fd);
    if (sent < 0) {
        throw std::runtime_error(std::string("sendto failed: ") + std::strerror(error));
    }
}

// A TCP connection attempt that the firewall rule rejects.
void try_tcp(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int error = errno;
    ::close(fd);
    std::printf("tcp to port %u: %s\n", port, rc == 0 ? "connected" : std::strerror(error));
}

int run(int seconds) {
    std::vector<Expectation> expected{
        {"special frame report (DoIP)", ethernet_service, 0x8002, {bytes("arm64 doip")}},
        {"classifier match report", ethernet_service, 0x8000,
         {bytes("arm64 classified"), bytes("classifierMatchReports.match.RULE")}},
        {"firewall filter report", ipsec_service, 0x8000, {bytes("firewallFilterReports.reject.telnet")}},
        // The destination port member (tag: wire type 1, data ID 0) of a new
        // UDP flow to port 9999, from the conntrack event.
        {"traffic flow sample", ethernet_service, 0x8003, {{0x10, 0x00, 0x27, 0x0f}, bytes("127.0.0.1")}},
    };

    someip_test::Client client;
    client.subscribe(ethernet_port, ethernet_service, instance, 1);
    client.subscribe(ethernet_port, ethernet_service, instance, 3);
    client.subscribe(ethernet_port, ethernet_service, instance, 4);
    client.subscribe(ipsec_port, ipsec_service, instance, 1);
    int acks = 0;
    bool traffic_sent = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (acks == 4 && !traffic_sent) {
            std::printf("subscribed to 4 eventgroups; sending traffic\n");
            send_udp(13400, bytes(std::string("\x02\xfd\x00\x01\x00\x00\x00\x00", 8) + "arm64 doip"));
            send_udp(5555, bytes("arm64 classified"));
            try_tcp(23);
            send_udp(9999, bytes("arm64 flow"));
            traffic_sent = true;
        }
        const auto msg = client.receive(std::chrono::milliseconds(500));
        if (!msg) {
            continue;
        }
        if (msg->service_id == 0xffff) {
            // SubscribeEventgroupAck: entry type 7 with a TTL.
            const auto& p = msg->payload;
            if (p.size() >= 8 + 16 && p[8] == 0x07 && (p[8 + 9] | p[8 + 10] | p[8 + 11]) != 0) {
                ++acks;
            } else if (p.size() >= 8 + 16 && p[8] == 0x07) {
                std::printf("subscription refused (Nack)\n");
                return 1;
            }
            continue;
        }
        for (auto& e : expected) {
            if (e.seen || msg->message_type != 0x02 || msg->service_id != e.service || msg->method_id != e.event) {
                continue;
            }
            if (std::all_of(e.needles.begin(), e.needles.end(),
                            [&](const auto& n) { return contains(msg->payload, n); })) {
                e.seen = true;
                std::printf("received %s (%zu bytes)\n", e.what, msg->payload.size());
            }
        }
        if (std::all_of(expected.begin(), expected.end(), [](const Expectation& e) { return e.seen; })) {
            return 0;
        }
    }
    std::printf("after %d s: %d of 4 subscriptions acknowledged\n", seconds, acks);
    for (const auto& e : expected) {
        if (!e.seen) {
            std::printf("missing: %s\n", e.what);
        }
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (seconds <= 0 || seconds > 600) {
        std::fprintf(stderr, "usage: report_probe [SECONDS (1-600)]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return run(seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "report_probe: %s\n", e.what());
        return 1;
    }
}
