// Load tool for the sensor's flood tests and benchmarks; run it in the
// sensor's private network namespace.
//   nflog_flood send RATE COUNT [PORT] [SIZE]
//       sends COUNT UDP datagrams of SIZE bytes to 127.0.0.1:PORT at RATE per
//       second on an absolute schedule (relative sleeps drift far below the
//       rate); prints "sent N".
//   nflog_flood flows COUNT
//       opens COUNT (at most 12,000) new UDP flows, one datagram each from
//       source ports 20000 and up to 127.0.0.1:9999, as fast as it can;
//       prints "flows N".
//   nflog_flood listen IDLE_MS MAX_MS
//       subscribes to specialFrameReports and trafficFlowSamples of
//       IDSEthernetSensor at 127.0.0.1:30501, prints "ready", then counts the
//       notifications that carry a report until IDLE_MS pass without one
//       (after the first) or MAX_MS in all; prints one JSON object with the
//       counts and the special frame reports per second since the first.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "someip_client.h"

namespace {

constexpr std::uint16_t ethernet_port = 30501;
constexpr std::uint16_t ethernet_service = 0x1001;
constexpr std::uint16_t special_frame_event = 0x8002;
constexpr std::uint16_t flow_sample_event = 0x8003;

int send_paced(double rate, long count, std::uint16_t port, std::size_t size) {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<unsigned char> payload(size, 0xab);
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long step_ns = static_cast<long>(1e9 / rate);
    long sent = 0;
    for (long i = 0; i < count; ++i) {
        next.tv_nsec += step_ns;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) != 0) {
        }
        if (sendto(sock, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(payload.size())) {
            ++sent;
        }
    }
    close(sock);
    std::printf("sent %ld\n", sent);
    return 0;
}

int open_flows(long count) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9999);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long opened = 0;
    for (long i = 0; i < count; ++i) {
        // Distinct source ports below the ephemeral range: a reused port
        // would hit an existing entry and make no new one.
        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(static_cast<std::uint16_t>(20000 + i % 12000));
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(sock, reinterpret_cast<const sockaddr*>(&from), sizeof from);
        if (sendto(sock, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 1) {
            ++opened;
        }
        close(sock);
    }
    std::printf("flows %ld\n", opened);
    return 0;
}

// The client's socket, found by its port, gets a buffer for a whole burst.
void enlarge_receive_buffer(std::uint16_t port) {
    for (int fd = 3; fd < 256; ++fd) {
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 && addr.sin_family == AF_INET &&
            ntohs(addr.sin_port) == port) {
            const int bytes = 64 << 20;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
            return;
        }
    }
}

int listen_counts(long idle_ms, long max_ms) {
    someip_test::Client client;
    enlarge_receive_buffer(client.port());
    client.subscribe(ethernet_port, ethernet_service, 1, 3);
    client.subscribe(ethernet_port, ethernet_service, 1, 4);
    std::printf("ready\n");
    std::fflush(stdout);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::time_point first{};
    Clock::time_point last = start;
    long special = 0;
    long flows = 0;
    std::map<long, long> per_second;
    while (Clock::now() - start < std::chrono::milliseconds(max_ms)) {
        if (special + flows > 0 && Clock::now() - last > std::chrono::milliseconds(idle_ms)) {
            break;
        }
        auto message = client.receive_non_sd(std::chrono::milliseconds(50));
        // An empty list (4 bytes) is the value sent on subscription.
        if (!message || message->service_id != ethernet_service || message->payload.size() <= 4) {
            continue;
        }
        last = Clock::now();
        if (special + flows == 0) {
            first = last;
        }
        if (message->method_id == special_frame_event) {
            ++special;
            ++per_second[std::chrono::duration_cast<std::chrono::seconds>(last - first).count()];
        } else if (message->method_id == flow_sample_event) {
            ++flows;
        }
    }
    std::printf("{\"special\": %ld, \"flows\": %ld, \"per_second\": [", special, flows);
    const char* separator = "";
    for (const auto& [second, n] : per_second) {
        std::printf("%s%ld", separator, n);
        separator = ", ";
    }
    std::printf("]}\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "send" && argc >= 4) {
        return send_paced(std::atof(argv[2]), std::atol(argv[3]),
                          static_cast<std::uint16_t>(argc > 4 ? std::atoi(argv[4]) : 13400),
                          static_cast<std::size_t>(argc > 5 ? std::atol(argv[5]) : 200));
    }
    if (mode == "flows" && argc == 3) {
        return open_flows(std::atol(argv[2]));
    }
    if (mode == "listen" && argc == 4) {
        return listen_counts(std::atol(argv[2]), std::atol(argv[3]));
    }
    std::fprintf(stderr, "usage: nflog_flood send RATE COUNT [PORT] [SIZE] | flows COUNT | listen IDLE_MS MAX_MS\n");
    return 2;
}
