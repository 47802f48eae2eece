// Capture loop of Traffic: opening the NFLOG groups, polling, splitting each
// logged packet into payload and prefix, dispatch by group, closing.
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

constexpr std::uint16_t group_security_events = 102;
constexpr std::uint16_t group_security_events_legacy = 200;
constexpr std::uint16_t group_security_events_housekeeping = 202;

constexpr int nflog_header_size = 4;
constexpr std::uint16_t attribute_payload = 9;
constexpr std::uint16_t attribute_prefix = 10;

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
    ethernet_limit = instances.IDSEthernetSensor_limit;
    ipsec_limit = instances.IDSIpSecuritySensor_limit;
    log.LogDebug() << "[DEBUG] Entering into main loop";
    if (!ensure_nonblocking()) {
        return;
    }
    log.LogDebug() << "IDS_Sensor : SOCKET is now in non-blocking mode ";
    const int capture_fd = pcap_api->selectable_fd(handle);
    pollfd waits[2] = {{capture_fd, POLLIN, 0}, {stop_event_fd(), POLLIN, 0}};
    while (!terminate_requested.load()) {
        loop_passed();
        report_drops();
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
    raw_ip_publisher.flush_drops();
    security_events_publisher.flush_drops();
    // The Ethernet offer is stopped by whoever started the loops, once both
    // have ended: the flow samples share the service.
}

Nflog_packet Traffic::parse_packet(const pcap_pkthdr* header, const u_char* message) {
    Nflog_packet packet;
    packet.capture_seconds = static_cast<std::int64_t>(header->ts.tv_sec);
    // Only the captured bytes are present in the buffer.
    int bytes_left = static_cast<int>(header->caplen) - nflog_header_size;
    if (bytes_left <= 0) {
        return packet;
    }
    for (const nflog_tlv_t* tlv = pcap_api->nflog_first_tlv(message); pcap_api->nflog_tlv_ok(tlv, bytes_left);
         tlv = pcap_api->nflog_next_tlv(tlv, bytes_left)) {
        const std::uint16_t type = pcap_api->nflog_tlv_type(tlv);
        if (type == attribute_payload) {
            packet.payload = pcap_api->nflog_tlv_value(tlv);
            packet.payload_length = static_cast<std::uint32_t>(pcap_api->nflog_tlv_value_len(tlv));
        } else if (type == attribute_prefix) {
            const u_char* value = pcap_api->nflog_tlv_value(tlv);
            const int length = pcap_api->nflog_tlv_value_len(tlv);
            // The prefix is used as a C string: an attribute without its
            // terminating NUL inside the value counts as no prefix.
            const bool terminated = length > 0 && std::memchr(value, '\0', static_cast<std::size_t>(length)) != nullptr;
            packet.prefix = terminated ? reinterpret_cast<const char*>(value) : nullptr;
        }
    }
    return packet;
}

void Traffic::on_packet(u_char* user, const pcap_pkthdr* header, const u_char* message) {
    // Called from libpcap's C frames: nothing may unwind through them. A
    // failing packet is dropped and the loop goes on.
    try {
        handle_packet(*reinterpret_cast<Traffic*>(user), header, message);
    } catch (const std::exception& error) {
        capture::logger().LogError() << "[Traffic] packet dropped: " << error.what();
    } catch (...) {
        capture::logger().LogError() << "[Traffic] packet dropped: unknown exception";
    }
}

void Traffic::handle_packet(Traffic& traffic, const pcap_pkthdr* header, const u_char* message) {
    Traffic* self = &traffic;
    auto& log = capture::logger();
    const Nflog_packet packet = self->parse_packet(header, message);

    std::uint16_t group = 0;
    if (header->caplen >= nflog_header_size) {
        std::uint16_t resource_id = 0;
        std::memcpy(&resource_id, message + 2, sizeof resource_id);
        group = self->pcap_api->net_to_host16(resource_id);
    }

    log.LogDebug() << "[Traffic] packet number = " << packet_counter;
    packet_counter = static_cast<int>(static_cast<unsigned>(packet_counter) + 1U);
    log.LogDebug() << "group id: " << group;

    switch (group) {
        case raw_ip_traffic_group:
            log.LogDebug() << "RawIPTraffic_group_id: " << group;
            (void)self->raw_ip_traffic_event(packet, self->ethernet_limit);
            break;
        case group_security_events:
        case group_security_events_legacy:
        case group_security_events_housekeeping:
            log.LogDebug() << "security_events_group_id: " << group;
            (void)self->security_events(packet, self->ipsec_limit);
            break;
        default:
            log.LogDebug() << "Unknown Event group_id: " << group;
            break;
    }
}
