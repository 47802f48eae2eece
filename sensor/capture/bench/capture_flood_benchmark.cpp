// Not a test: floods the capture with logged packets through the running
// kernel and prints the capture thread's CPU time and heap allocations per
// logged packet for three paths: published, dropped by the RawIPTraffic
// limiter, and unknown prefix. Must run as root in a private network
// namespace (see run_capture_benchmark.sh).
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "ara/log/logging.h"
#include "com/component_singleton.h"
#include "sensor/common/terminate_flag.h"
#include "sensor/capture/testing/kernel_network.h"
#include "sensor/capture/traffic.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/pcap_api.h"
#include "sensor/services/field_server_skeleton.h"
#include "sensor/services/field_server_skeleton_idsipsecuritysensor.h"
#include "sensor/services/testing/field_server_fakes.h"

// Heap allocations are counted only while `counting` is set.
namespace {
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr std::uint16_t port_published = 42001;
constexpr std::uint16_t port_dropped = 42002;
constexpr std::uint16_t port_unknown = 42003;
constexpr int batch = 64;  // stays well inside the netlink socket's buffer

struct Figures {
    std::uint64_t packets = 0;
    std::uint64_t cpu_ns = 0;
    std::uint64_t allocations = 0;
    std::uint64_t published = 0;
    // Dispatches that published nothing: their packets and allocations.
    std::uint64_t unpublished_packets = 0;
    std::uint64_t unpublished_allocations = 0;
};

std::uint64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

struct Services {
    Field_Server_Skeleton ethernet_real;
    Field_Server_Skeleton_idsipsecuritysensor ipsec;
    // Forwards to the real server and counts the reports it publishes.
    Fake_ethernet_server ethernet{&ethernet_real};
    Ethernet_field_server_handle ethernet_handle{&ethernet, "1"};
    Ipsec_field_server_handle ipsec_handle{&ipsec, "1"};
};

// One case: a fresh capture with the given limit, `packets` datagrams to the
// port, every dispatch measured.
bool run_case(Services& services, ARA_PHM_API& phm, std::uint16_t port, std::uint32_t limit, int packets,
              std::size_t datagram_size, Figures& out) {
    Pcap_API pcap;
    Traffic traffic(&pcap, 265, &services.ethernet_handle, &services.ipsec_handle, &phm);
    if (traffic.init(265) != 0) {
        std::fprintf(stderr, "cannot open the NFLOG groups\n");
        return false;
    }
    // Copies the limits and makes the handle non-blocking; no pass runs.
    terminate_requested.store(true);
    traffic.main_loop(IDS_instances{"1", limit, "1", limit});
    terminate_requested.store(false);

    const int fd = pcap_get_selectable_fd(traffic.capture_handle());
    capture_kernel::Udp_sender sender;
    const std::vector<std::uint8_t> data(datagram_size, 0x5a);
    int sent = 0;
    int stalls = 0;
    while (out.packets < static_cast<std::uint64_t>(packets) && stalls < 20) {
        for (int i = 0; i < batch && sent < packets; ++i, ++sent) {
            sender.send(port, data);
        }
        const std::uint64_t target = static_cast<std::uint64_t>(sent);
        stalls = 0;
        while (out.packets < target && stalls < 20) {
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 50) <= 0) {
                ++stalls;
                continue;
            }
            const std::uint64_t published_before = services.ethernet.reports();
            const std::uint64_t allocations_before = allocations.load();
            const std::uint64_t cpu_before = thread_cpu_ns();
            counting.store(true);
            const int handled =
                pcap.dispatch(traffic.capture_handle(), -1, &Traffic::on_packet, reinterpret_cast<u_char*>(&traffic));
            counting.store(false);
            out.cpu_ns += thread_cpu_ns() - cpu_before;
            const std::uint64_t allocated = allocations.load() - allocations_before;
            if (handled > 0) {
                out.packets += static_cast<std::uint64_t>(handled);
                out.allocations += allocated;
                const std::uint64_t published = services.ethernet.reports() - published_before;
                out.published += published;
                if (published == 0) {
                    out.unpublished_packets += static_cast<std::uint64_t>(handled);
                    out.unpublished_allocations += allocated;
                }
            }
        }
    }
    traffic.close();
    return out.packets > 0;
}

void print(const char* name, const Figures& f) {
    const double packets = static_cast<double>(f.packets);
    std::fprintf(stderr, "%-26s %8llu %12.0f %14.2f %10llu %18llu\n", name,
                 static_cast<unsigned long long>(f.packets), static_cast<double>(f.cpu_ns) / packets,
                 static_cast<double>(f.allocations) / packets, static_cast<unsigned long long>(f.published),
                 static_cast<unsigned long long>(f.unpublished_allocations));
}

}  // namespace

int main(int argc, char** argv) {
    const int packets = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::size_t size = argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 100;
    if (packets <= 0 || size > 60000) {
        std::fprintf(stderr, "usage: %s [packets] [datagram bytes]\n", argv[0]);
        return 2;
    }
    if (!capture_kernel::in_private_network_namespace()) {
        std::fprintf(stderr, "run me in a private network namespace (run_capture_benchmark.sh)\n");
        return 2;
    }
    std::string diagnostics;
    if (!capture_kernel::bring_loopback_up() ||
        !capture_kernel::load_nft_ruleset(
            capture_kernel::output_table({
                capture_kernel::nflog_rule(port_published, 101, "specialFrameReports.match.DoIP"),
                capture_kernel::nflog_rule(port_dropped, 101, "specialFrameReports.match.DoIP"),
                capture_kernel::nflog_rule(port_unknown, 101, "benchmark.unknown.prefix"),
            }),
            diagnostics)) {
        std::fprintf(stderr, "network set-up failed: %s\n", diagnostics.c_str());
        return 1;
    }

    // The sensor's own level: debug messages are off and cost nothing.
    ara::log::InitLogging("BNCH", "capture benchmark", ara::log::LogLevel::kInfo, ara::log::LogMode::kConsole, "");
    ux::com::runtime::Component_singleton component(false, "");
    Services services;
    services.ethernet_handle.offer_service();
    services.ipsec_handle.offer_service();
    ARA_PHM_API phm;

    // The unknown prefix is logged as an error per packet; keep those lines
    // off the terminal while measuring.
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    if (saved_stdout < 0 || freopen("/dev/null", "w", stdout) == nullptr) {
        std::fprintf(stderr, "cannot redirect standard output\n");
        return 1;
    }

    Figures published;
    Figures dropped;
    Figures unknown;
    const bool ok = run_case(services, phm, port_published, 2000000000U, packets, size, published) &&
                    run_case(services, phm, port_dropped, 0, packets, size, dropped) &&
                    run_case(services, phm, port_unknown, 2000000000U, packets, size, unknown);

    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    if (!ok) {
        std::fprintf(stderr, "a case received no packet\n");
        return 1;
    }

    std::fprintf(stderr,
                 "NFLOG flood: %d UDP datagrams of %zu bytes per case (logged packet %zu bytes), "
                 "one netlink message per packet (queue-threshold 1)\n",
                 packets, size, size + 28);
    std::fprintf(stderr, "%-26s %8s %12s %14s %10s %18s\n", "case", "packets", "cpu ns/pkt", "allocs/pkt",
                 "published", "allocs unpublished");
    print("published", published);
    print("dropped by RawIPTraffic", dropped);
    print("unknown prefix", unknown);
    std::fprintf(stderr,
                 "dropped path: %llu heap allocations over %llu packets that published nothing "
                 "(%llu window-opening reports were published and are not counted there)\n",
                 static_cast<unsigned long long>(dropped.unpublished_allocations),
                 static_cast<unsigned long long>(dropped.unpublished_packets),
                 static_cast<unsigned long long>(dropped.published));
    return dropped.unpublished_allocations == 0 ? 0 : 3;
}
