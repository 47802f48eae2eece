// The packet capture component: reads the NFLOG groups of the partition and
// hands each logged packet to the dispatch of its group, which classifies,
// rate-limits and publishes it. Used by the capture thread only.
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>

#include "sensor/capture/group_dispatch.h"
#include "sensor/common/overrun_count.h"
#include "sensor/config/ids_instances.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/pcap_api.h"
#include "sensor/services/field_server_handle.h"

class Traffic {
public:
    using Clock_function = Group_dispatch::Clock_function;

    // Borrows every pointer; any field-server handle may be null. The clock
    // drives the rate limiters (tests substitute their own).
    Traffic(Pcap_API_Interface* pcap_api, std::int16_t sw_id, Ethernet_field_server_handle* field_server_ethernet,
            Ipsec_field_server_handle* field_server_ipsec, ARA_PHM_API_Interface* phm_api,
            Clock_function clock = &std::chrono::system_clock::now);
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    // Opens the partition's NFLOG groups; 0 on success.
    int init(std::int16_t sw_id);
    // Reads until a stop is requested, then what is already queued.
    void main_loop(const IDS_instances& instances);
    void close();
    // Whether the capture is (now) in non-blocking mode.
    bool ensure_nonblocking();
    // The capture library's per-packet callback; user is the Traffic.
    static void on_packet(u_char* user, const pcap_pkthdr* header, const u_char* message);

    // Null before init and after close.
    pcap_t* capture_handle() const noexcept { return handle; }
    std::uint32_t current_ethernet_limit() const noexcept { return groups.current_ethernet_limit(); }
    std::uint32_t current_ipsec_limit() const noexcept { return groups.current_ipsec_limit(); }

private:
    // Body of on_packet; may throw.
    void handle_packet(const pcap_pkthdr* header, const u_char* message);
    Field_Server_Skeleton_Interface* ethernet_server() const noexcept;
    Field_Server_Skeleton_Idsipsecuritysensor_Interface* ipsec_server() const noexcept;
    void loop_passed() noexcept {
        if (phm_api != nullptr) {
            phm_api->LoopPassed(Supervised_loop::capture);
        }
    }
    // Counts what the kernel dropped since the last look; warns at most once a second.
    void note_kernel_drops();
    // After a stop: reads what is already queued, bounded in time.
    void read_what_is_queued();

    Pcap_API_Interface* pcap_api;
    pcap_t* handle = nullptr;
    Ethernet_field_server_handle* field_server_ethernet;
    Ipsec_field_server_handle* field_server_ipsec;
    ARA_PHM_API_Interface* phm_api;
    Group_dispatch groups;
    std::uint32_t kernel_drops_seen = 0;
    Overrun_count kernel_drops;
};
