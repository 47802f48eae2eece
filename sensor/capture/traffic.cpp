// Capture loop of Traffic: opening the NFLOG groups, polling, reading each
// logged packet and handing it to the dispatch of its group, closing.
#include <pcap/nflog.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "sensor/capture/capture_log.h"
#include "sensor/common/partition.h"
#include "sensor/common/terminate_flag.h"
#include "sensor/capture/traffic.h"
#include "sensor/seams/platform_extensions.h"

namespace {

// The housekeeping partition also logs firewall matches to group 202.
constexpr const char* housekeeping_groups = "nflog:101,102,202";
constexpr const char* default_groups = "nflog:101,102";

// Any non-zero flag asks for non-blocking mode.
constexpr int nonblocking_flag = 2048;

// Enough to hold a burst while the capture thread publishes (well over a
// second of 20,000 logged packets/s in batches); where the process may not
// exceed the system's cap the buffer stays at that cap.
constexpr int capture_buffer_bytes = 32 * 1024 * 1024;
// Longest wait for input; also how soon a stop is seen without a wake-up.
constexpr int wait_ms = 100;
// Pause after a pass that read packets; bounds the latency it adds.
constexpr int gather_ms = 1;

// Only for the debug log; touched by the capture thread only.
int packet_counter = 0;

// A created capture that is cleaned up again unless it was activated.
class Created_capture {
public:
    Created_capture(Pcap_API_Interface& pcap_api, pcap_t* handle) : m_pcap_api(pcap_api), m_handle(handle) {}
    ~Created_capture() {
        if (m_handle != nullptr) {
            m_pcap_api.cleanup(m_handle);
        }
    }
    Created_capture(const Created_capture&) = delete;
    Created_capture& operator=(const Created_capture&) = delete;

    pcap_t* get() const noexcept { return m_handle; }
    pcap_t* release() noexcept {
        pcap_t* handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

private:
    Pcap_API_Interface& m_pcap_api;
    pcap_t* m_handle;
};

}  // namespace

Traffic::Traffic(Pcap_API_Interface* pcap_api_, std::int16_t sw_id_, Ethernet_field_server_handle* ethernet_,
                 Ipsec_field_server_handle* ipsec_, ARA_PHM_API_Interface* phm_api_, Clock_function clock_)
    : pcap_api(pcap_api_),
      field_server_ethernet(ethernet_),
      field_server_ipsec(ipsec_),
      phm_api(phm_api_),
      groups(sw_id_, ethernet_, ipsec_, phm_api_, clock_) {}

Field_Server_Skeleton_Interface* Traffic::ethernet_server() const noexcept {
    return field_server_ethernet != nullptr ? field_server_ethernet->get() : nullptr;
}

Field_Server_Skeleton_Idsipsecuritysensor_Interface* Traffic::ipsec_server() const noexcept {
    return field_server_ipsec != nullptr ? field_server_ipsec->get() : nullptr;
}

int Traffic::init(std::int16_t sw_id_of_partition) {
    auto& log = capture::logger();
    int result = 0;
    if (ethernet_server() == nullptr) {
        log.LogError() << "[ERROR] no field server available";
        if (ipsec_server() == nullptr) {
            log.LogError() << "[ERROR] no field server of ipsecurity available";
        }
        result = 1;
    } else if (ipsec_server() == nullptr) {
        log.LogError() << "[ERROR] no field server of ipsecurity available";
        result = 1;
    } else {
        const char* device = sw_id_of_partition == VM_HOUSEKEEPING ? housekeeping_groups : default_groups;
        char error_buffer[PCAP_ERRBUF_SIZE] = {};
        int is_ours = 0;
        Created_capture created(*pcap_api, pcap_api->nflog_create(device, error_buffer, &is_ours));
        if (created.get() == nullptr) {
            log.LogError() << "[ERROR] cannot create a netfilter handle";
            result = 1;
        } else {
            // A refused size leaves the library's default, which still works.
            (void)pcap_api->set_buffer_size(created.get(), capture_buffer_bytes);
            errno = 0;
            if (pcap_api->activate(created.get()) == -1) {
                const int error = errno;
                log.LogError() << "[ERROR] cannot activate netfilter";
                // The library's failed netlink request leaves its reason in errno.
                log.LogError() << "[Traffic] netfilter activation: "
                               << (error == 0 ? "no reason given" : std::strerror(error))
                               << (error == EPERM ? " (the NFLOG groups need CAP_NET_ADMIN)" : "");
                result = 1;
            } else {
                (void)pcap_api->force_receive_buffer(created.get(), capture_buffer_bytes);
                handle = created.release();
            }
        }
    }
    log.LogDebug() << "Finished init RawIPTraffic return= " << result;
    return result;
}

bool Traffic::ensure_nonblocking() {
    auto& log = capture::logger();
    if (handle == nullptr) {
        log.LogError() << "[Traffic] no capture handle";
        return false;
    }
    char error_buffer[PCAP_ERRBUF_SIZE] = {};
    // A failed query (-1) says nothing about the mode, so it is not taken as
    // non-blocking: a blocking read would keep the loop from ever seeing a
    // stop request.
    if (pcap_api->getnonblock(handle, error_buffer) > 0) {
        log.LogDebug() << "IDS_Sensor : SOCKET is in non-blocking mode ";
    } else {
        log.LogDebug() << "IDS_Sensor : SOCKET is in blocking mode ";
        if (pcap_api->setnonblock(handle, nonblocking_flag, error_buffer) < 0) {
            log.LogError() << "IDS_Sensor : SOCKET CAN'T CHANGE blocking mode ";
        }
    }
    return pcap_api->getnonblock(handle, error_buffer) > 0;
}

void Traffic::main_loop(const IDS_instances& instances) {
    auto& log = capture::logger();
    groups.set_limits(instances.IDSEthernetSensor_limit, instances.IDSIpSecuritySensor_limit);
    log.LogDebug() << "[DEBUG] Entering into main loop";
    if (!ensure_nonblocking()) {
        return;
    }
    log.LogDebug() << "IDS_Sensor : SOCKET is now in non-blocking mode ";
    const int capture_fd = pcap_api->selectable_fd(handle);
    pollfd waits[2] = {{capture_fd, POLLIN, 0}, {stop_event_fd(), POLLIN, 0}};
    while (!terminate_requested.load()) {
        loop_passed();
        groups.report_drops();
        const int ready = pcap_api->poll(waits, 2, wait_ms);
        // Without a descriptor to wait on, every pass reads.
        if (ready == 0 && capture_fd >= 0) {
            continue;
        }
        // Each dispatch handles one receive; read until nothing is pending.
        // A failed read (for example a receive error) waits for the next pass.
        // The reports of one pass leave together when it ends.
        bool handled = false;
        {
            platform_extensions::Notification_batch batch;
            while (!terminate_requested.load() &&
                   pcap_api->dispatch(handle, -1, &Traffic::on_packet, reinterpret_cast<u_char*>(this)) > 0) {
                handled = true;
                // A loop that reads without pause under a flood still turns.
                loop_passed();
            }
        }
        note_kernel_drops();
        // While packets keep coming, let a few gather before the next pass
        // (the receive buffer holds them): per packet that saves a wake-up
        // here and at each subscriber. A stop still ends the wait at once.
        if (handled) {
            pollfd stop_wait{stop_event_fd(), POLLIN, 0};
            (void)pcap_api->poll(&stop_wait, 1, gather_ms);
        }
    }
    read_what_is_queued();
}

void Traffic::read_what_is_queued() {
    // What the kernel logged before the stop is still reported: read until
    // the socket is empty, for one wait at most, so a flood that goes on
    // cannot hold the stop up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    platform_extensions::Notification_batch batch;
    while (std::chrono::steady_clock::now() < deadline &&
           pcap_api->dispatch(handle, -1, &Traffic::on_packet, reinterpret_cast<u_char*>(this)) > 0) {
        loop_passed();
    }
}

void Traffic::note_kernel_drops() {
    pcap_stat stats{};
    if (pcap_api->stats(handle, &stats) != 0 || stats.ps_drop <= kernel_drops_seen) {
        return;
    }
    const std::uint32_t lost = stats.ps_drop - kernel_drops_seen;
    kernel_drops_seen = stats.ps_drop;
    if (kernel_drops.add(lost, Overrun_count::Clock::now())) {
        capture::logger().LogWarn() << "[Traffic] receive buffer overrun, logged packets lost; overruns so far: "
                                    << kernel_drops.total();
    }
}

void Traffic::close() {
    auto& log = capture::logger();
    log.LogDebug() << "Unbind group. Close nflog.";
    if (handle != nullptr) {
        note_kernel_drops();
        if (kernel_drops.total() > 0) {
            log.LogWarn() << "[Traffic] receive buffer overruns in total: "
                          << kernel_drops.total();
        }
        pcap_api->cleanup(handle);
        // The clean-up releases the handle itself.
        handle = nullptr;
    }
    groups.flush_drops();
    // The Ethernet offer is stopped by whoever started the loops, once both
    // have ended: the flow samples share the service.
}

void Traffic::on_packet(u_char* user, const pcap_pkthdr* header, const u_char* message) {
    // Called from libpcap's C frames: nothing may unwind through them. A
    // failing packet is dropped and the loop goes on.
    try {
        reinterpret_cast<Traffic*>(user)->handle_packet(header, message);
    } catch (const std::exception& error) {
        capture::logger().LogError() << "[Traffic] packet dropped: " << error.what();
    } catch (...) {
        capture::logger().LogError() << "[Traffic] packet dropped: unknown exception";
    }
}

void Traffic::handle_packet(const pcap_pkthdr* header, const u_char* message) {
    auto& log = capture::logger();
    const Nflog_packet packet = parse_nflog_packet(*pcap_api, header, message);
    const std::uint16_t group = nflog_group(*pcap_api, header, message);

    log.LogDebug() << "[Traffic] packet number = " << packet_counter;
    packet_counter = static_cast<int>(static_cast<unsigned>(packet_counter) + 1U);
    groups.dispatch(group, packet);
}
