#include "sensor/flowstats/ip_traffic_statistics.h"

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <exception>
#include <vector>

#include <netlink/errno.h>
#include <netlink/netfilter/ct.h>
#include <netlink/netlink.h>

#include "ara/log/logging.h"
#include "sensor/common/partition.h"
#include "sensor/common/terminate_flag.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/nl_api.h"
#include "sensor/seams/platform_extensions.h"

namespace {

namespace datatypes = ksr::services::idsethernetsensor::datatypes;

constexpr int kNetlinkNetfilter = 12;       // NETLINK_NETFILTER
constexpr int kConntrackGroupMask = 5;      // groups 1 (new) and 3 (destroy)
constexpr std::uint8_t kFamilyInet6 = 10;   // AF_INET6
constexpr std::size_t kAddressTextSize = 46;  // INET6_ADDRSTRLEN
constexpr int kOriginalDirection = 0;
// A burst of flow events (a table flush: one event per entry) must wait in
// the kernel while the loop publishes; the default buffer holds about 50.
constexpr int kReceiveBufferBytes = 32 * 1024 * 1024;
constexpr int kWaitMs = 100;

constexpr std::uint16_t kSupervisionFlow = 3;
constexpr std::uint16_t kCheckpointSendData = 5;
constexpr std::uint16_t kCheckpointSent = 6;

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("FLOW", "IPTrafficStatistics");
    return instance;
}

// Any partition the table does not know is logged as the emulator's.
const char* partition_name(std::int16_t swId) {
    for (const Partition& partition : partitions) {
        if (partition.sw_id == swId) {
            return partition.constant;
        }
    }
    return "SWID_QEMU";
}

bool is_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

bool has_text(const char* text) { return text != nullptr && text[0] != '\0'; }

}  // namespace

IPTrafficStatistics::IPTrafficStatistics(Nl_API_Interface* nl_api, ARA_PHM_API_Interface* phm_api,
                                         std::int16_t swId, Ethernet_field_server_handle* field_server) noexcept
    : m_nl_api(nl_api),
      m_phm_api(phm_api),
      m_swId(static_cast<std::uint16_t>(swId)),
      m_field_server(field_server) {}

IPTrafficStatistics::~IPTrafficStatistics() {
    // After an orderly stop the socket is already gone; after a failed init
    // or prepare it would otherwise stay open for the rest of the process.
    if (m_socket != nullptr) {
        m_nl_api->nl_socket_free(m_socket);
        m_socket = nullptr;
    }
    if (m_cache != nullptr) {
        m_nl_api->nl_cache_free(m_cache);
        m_cache = nullptr;
    }
    if (m_conntrack != nullptr) {
        m_nl_api->nfnl_ct_put(m_conntrack);
        m_conntrack = nullptr;
    }
}

int IPTrafficStatistics::init(std::int16_t swId) {
    logger().LogDebug() << "[IPTrafficStatistics]:init";
    if (!has_field_server()) {
        logger().LogError() << "[IPTrafficStatistics]:ERROR no field server available";
    }
    logger().LogDebug() << "[IPTrafficStatistics]: " << partition_name(swId);

    m_socket = m_nl_api->nl_socket_alloc();
    if (m_socket == nullptr) {
        logger().LogError() << "[IPTrafficStatistics]:cannot alloc socket (sk)";
    }
    m_conntrack = m_nl_api->nfnl_ct_alloc();
    if (m_conntrack == nullptr) {
        logger().LogError() << "[IPTrafficStatistics]:cannot alloc conntrack";
    }
    if (m_socket == nullptr || m_conntrack == nullptr) {
        return 1;
    }

    m_nl_api->nfnl_ct_set_family(m_conntrack, kFamilyInet6);
    m_nl_api->nl_socket_disable_seq_check(m_socket);
    if (const int error = m_nl_api->nl_socket_modify_cb(m_socket, &IPTrafficStatistics::ct_event, this); error < 0) {
        logger().LogError() << "[IPTrafficStatistics]:cannot install the conntrack event callback: "
                            << m_nl_api->nl_geterror(error);
        return 1;
    }
    // The group mask takes effect when the socket is bound, so join first;
    // a refused join (no CAP_NET_ADMIN) fails the connect.
    m_nl_api->nl_join_groups(m_socket, kConntrackGroupMask);
    if (const int error = m_nl_api->nl_connect(m_socket, kNetlinkNetfilter); error < 0) {
        logger().LogError() << "[IPTrafficStatistics]:cannot join the conntrack event groups: "
                            << m_nl_api->nl_geterror(error);
        return 1;
    }
    // Best effort: without the privilege to exceed the system's cap the
    // buffer stays at that cap.
    (void)m_nl_api->set_receive_buffer(m_socket, kReceiveBufferBytes);
    // Empty: only held for the clean-up order; no dump, which would take
    // the events that arrive meanwhile.
    if (const int error = m_nl_api->nl_cache_alloc_name("netfilter/ct", &m_cache); error < 0) {
        m_cache = nullptr;
        logger().LogError() << "[IPTrafficStatistics]:cannot alloc conntrack cache: " << m_nl_api->nl_geterror(error);
        return 1;
    }

    logger().LogDebug() << "[IPTrafficStatistics]: Finished init";
    return 0;
}

int IPTrafficStatistics::prepare() {
    logger().LogDebug() << "IPTrafficStatistics:prepare";
    m_descriptor = m_nl_api->nl_socket_get_fd(m_socket);
    if (m_descriptor < 0) {
        logger().LogError() << "[IPTrafficStatistics]:File descriptor not available";
        return 1;
    }
    if (is_nonblocking(m_descriptor)) {
        logger().LogDebug() << "[IPTrafficStatistics]: SOCKET sk is in non-blocking mode ";
    } else {
        logger().LogDebug() << "[IPTrafficStatistics]:SOCKET sk is in blocking mode ";
        if (m_nl_api->nl_socket_set_nonblocking(m_socket) < 0) {
            logger().LogError() << "[IPTrafficStatistics]: SOCKET sk CAN'T CHANGE blocking mode ";
        }
    }
    if (is_nonblocking(m_descriptor)) {
        logger().LogDebug() << "[IPTrafficStatistics]: SOCKET is now in non-blocking mode ";
        return 0;
    }
    return 1;
}

void IPTrafficStatistics::start() {
    logger().LogDebug() << "[IPTrafficStatistics]: start";
    pollfd waits[2] = {{m_descriptor, POLLIN, 0}, {stop_event_fd(), POLLIN, 0}};
    while (!terminate_requested.load()) {
        m_phm_api->LoopPassed(Supervised_loop::conntrack);
        // Wakes for events, for a stop request, or after 100 ms at most.
        if (m_nl_api->poll(waits, 2, kWaitMs) != 0) {
            // One receive per call; read until the socket is empty so that a
            // burst never waits for the next wake-up. Its samples leave together.
            platform_extensions::Notification_batch batch;
            while (!terminate_requested.load() && receive()) {
            }
        }
    }
    // Events the kernel reported before the stop still become samples: read
    // until the socket is empty, for one wait at most, so that a stream of
    // events that goes on cannot hold the stop up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    platform_extensions::Notification_batch batch;
    while (std::chrono::steady_clock::now() < deadline && receive()) {
    }
}

bool IPTrafficStatistics::receive() {
    m_phm_api->LoopPassed(Supervised_loop::conntrack);
    const int result = m_nl_api->nl_recvmsgs_default(m_socket);
    if (result == -NLE_NOMEM) {
        // ENOBUFS: the kernel dropped events for want of buffer space;
        // what is still queued can be read on.
        if (m_overruns.add(1, Overrun_count::Clock::now())) {
            logger().LogWarn() << "[IPTrafficStatistics]: receive buffer overrun, conntrack events lost; overruns so far: "
                               << m_overruns.total();
        }
        return true;
    }
    // Empty (NLE_AGAIN) or a receive error: wait for the next wake-up.
    return result >= 0;
}

void IPTrafficStatistics::stop() {
    m_nl_api->nl_socket_free(m_socket);
    m_socket = nullptr;
    m_nl_api->nl_cache_clear(m_cache);
    if (m_overruns.total() > 0) {
        logger().LogWarn() << "[IPTrafficStatistics]: receive buffer overruns in total: " << m_overruns.total();
    }
    logger().LogDebug() << "[IPTrafficStatistics]: stop";
    // The Ethernet offer is stopped by whoever started the loops, once both
    // have ended: the packet reports share the service.
}

int IPTrafficStatistics::ct_event(nl_msg* msg, void* arg) {
    // Called from libnl's C frames: nothing may unwind through them.
    try {
        auto* self = static_cast<IPTrafficStatistics*>(arg);
        logger().LogDebug() << "IPTrafficStatistics: conntrack event";
        if (self->m_nl_api->nl_msg_parse(msg, &IPTrafficStatistics::ct_object_callback, self) < 0) {
            logger().LogError() << "IPTrafficStatistics:<<ct_event>> Unknown message type";
            return NL_STOP;
        }
    } catch (const std::exception& error) {
        logger().LogError() << "[IPTrafficStatistics]: conntrack event dropped: " << error.what();
    } catch (...) {
        logger().LogError() << "[IPTrafficStatistics]: conntrack event dropped: unknown exception";
    }
    return NL_OK;
}

void IPTrafficStatistics::ct_object_callback(nl_object* obj, void* arg) {
    try {
        auto* self = static_cast<IPTrafficStatistics*>(arg);
        logger().LogDebug() << "IPTrafficStatistics:  conntrack object callback";
        if (self->send_data(reinterpret_cast<nfnl_ct*>(obj))) {
            logger().LogError() << "IPTrafficStatistics: send_data() failed";
        }
    } catch (const std::exception& error) {
        logger().LogError() << "[IPTrafficStatistics]: flow sample dropped: " << error.what();
    } catch (...) {
        logger().LogError() << "[IPTrafficStatistics]: flow sample dropped: unknown exception";
    }
}

bool IPTrafficStatistics::send_data(nfnl_ct* ct) {
    logger().LogDebug() << "[IPTrafficStatistics]: send data";
    m_phm_api->CheckpointReached(kSupervisionFlow, kCheckpointSendData);

    char source_text[kAddressTextSize] = {};
    char destination_text[kAddressTextSize] = {};
    const char* source = m_nl_api->nl_addr2str(m_nl_api->nfnl_ct_get_src(ct, kOriginalDirection),
                                                source_text, sizeof source_text);
    const char* destination = m_nl_api->nl_addr2str(m_nl_api->nfnl_ct_get_dst(ct, kOriginalDirection),
                                                     destination_text, sizeof destination_text);
    if (!has_text(source) || !has_text(destination)) {
        return true;
    }
    logger().LogDebug() << "[IPTrafficStatistics]: destinationIpAddr =" << destination;
    logger().LogDebug() << "[IPTrafficStatistics]: sourceIpAddr =" << source;

    datatypes::DT_trafficFlowSamples_struct sample;
    sample.reportTypeId = datatypes::traffic_flow_sample_type_id;
    sample.swId = m_swId;
    const nfnl_ct_timestamp* stamp = m_nl_api->nfnl_ct_get_timestamp(ct);
    sample.timestamp = stamp != nullptr ? stamp->start : 0;
    sample.sourceIpAddr = std::string(source);
    sample.destinationIpAddr = std::string(destination);
    sample.protocol = static_cast<datatypes::Ip_protocol>(m_nl_api->nfnl_ct_get_proto(ct));
    sample.sourcePort = m_nl_api->nfnl_ct_get_src_port(ct, kOriginalDirection);
    sample.destinationPort = m_nl_api->nfnl_ct_get_dst_port(ct, kOriginalDirection);
    sample.packets = static_cast<std::uint32_t>(m_nl_api->nfnl_ct_get_packets(ct, kOriginalDirection));
    sample.bytes = m_nl_api->nfnl_ct_get_bytes(ct, kOriginalDirection);

    const std::vector<datatypes::DT_trafficFlowSamples_struct> samples{sample};
    if (!has_field_server()) {
        logger().LogError() << "[IPTrafficStatistics]:ERROR no field server available";
        return true;
    }
    (*m_field_server)->update_traffic_flow_samples(samples);
    logger().LogDebug() << "Send TrafficFlowSample";
    m_phm_api->CheckpointReached(kSupervisionFlow, kCheckpointSent);
    return false;
}
