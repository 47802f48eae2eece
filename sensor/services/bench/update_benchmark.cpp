// Cost of one field update: a one-record special-frame list with a
// 1522-byte payload, with one real subscriber on loopback and with none.
// Prints the time per update and the heap allocations the updating thread
// makes per update.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "com/component_singleton.h"
#include "sensor/services/field_server_skeleton.h"
#include "someip_client.h"

namespace {

// Only the thread that updates counts, so the middleware's receive thread
// and the subscriber's reader do not blur the figure.
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
thread_local std::size_t allocated_bytes = 0;

void* counted_alloc(std::size_t size) {
    if (counting) {
        ++allocations;
        allocated_bytes += size;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace eth = ksr::services::idsethernetsensor::datatypes;

struct Figures {
    double ns_per_update;
    double allocations_per_update;
    double bytes_per_update;
};

Figures measure(Field_Server_Skeleton& server, int updates) {
    eth::DT_specialFrameReports_struct record;
    record.reportTypeId = eth::special_frame_report_type_id;
    record.swId = 265;
    record.payload = eth::Byte_array(eth::max_report_payload, 0x5a);
    record.frameType = eth::Special_frame_type::DoIP;
    record.truncatedLength = 10;
    std::vector<eth::DT_specialFrameReports_struct> list{record};

    for (int i = 0; i < 100; ++i) {  // warm-up: the field takes the list's shape
        list[0].timestamp = static_cast<std::uint64_t>(i);
        server.update_special_frame_reports(list);
    }
    allocations = 0;
    allocated_bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < updates; ++i) {
        list[0].timestamp = static_cast<std::uint64_t>(i);  // the producer's own list, not counted
        counting = true;
        server.update_special_frame_reports(list);
        counting = false;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return Figures{std::chrono::duration<double, std::nano>(elapsed).count() / updates,
                   static_cast<double>(allocations) / updates, static_cast<double>(allocated_bytes) / updates};
}

}  // namespace

int main(int argc, char** argv) {
    const int updates = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::uint16_t port = someip_test::free_udp_port();
    const std::string deployment = "/tmp/update_benchmark_" + std::to_string(::getpid()) + ".json";
    someip_test::use_deployment(deployment, port, someip_test::free_udp_port());

    ux::com::runtime::Component_singleton component(false, "");
    Field_Server_Skeleton server;
    server.init("1");
    server.offer_service();

    const Figures alone = measure(server, updates);

    someip_test::Client subscriber;
    subscriber.subscribe(port, 0x1001, 1, 3);
    if (!subscriber.receive_sd()) {
        std::fprintf(stderr, "subscription not acknowledged\n");
        return 1;
    }
    std::atomic<bool> running{true};
    std::atomic<long> received{0};
    std::thread reader([&] {
        while (running) {
            if (subscriber.receive(std::chrono::milliseconds(100))) {
                ++received;
            }
        }
    });
    const Figures subscribed = measure(server, updates);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    running = false;
    reader.join();
    server.stop_offer_service();
    ::unlink(deployment.c_str());

    std::printf("update of a one-record specialFrameReports list, 1522-byte payload, %d updates\n", updates);
    std::printf("%-16s %14s %18s %16s\n", "subscribers", "ns/update", "allocations/update", "bytes/update");
    std::printf("%-16s %14.0f %18.2f %16.0f\n", "none", alone.ns_per_update, alone.allocations_per_update,
                alone.bytes_per_update);
    std::printf("%-16s %14.0f %18.2f %16.0f\n", "one (loopback)", subscribed.ns_per_update,
                subscribed.allocations_per_update, subscribed.bytes_per_update);
    std::printf("notifications received by the subscriber: %ld (includes the current value on subscription)\n",
                received.load());
    return 0;
}
