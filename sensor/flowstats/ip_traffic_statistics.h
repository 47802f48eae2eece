// Turns the kernel's connection-tracking events (new and destroyed entries)
// into traffic flow samples of the IDSEthernetSensor service.
#pragma once

#include <cstdint>

#include "sensor/common/overrun_count.h"
#include "sensor/services/field_server_handle.h"

struct nl_sock;
struct nl_cache;
struct nl_msg;
struct nl_object;
struct nfnl_ct;

class Nl_API_Interface;
class ARA_PHM_API_Interface;

class IPTrafficStatistics {
public:
    // Nothing is allocated here; init does that on the flow-statistics thread.
    IPTrafficStatistics(Nl_API_Interface* nl_api, ARA_PHM_API_Interface* phm_api, std::int16_t swId,
                        Ethernet_field_server_handle* field_server) noexcept;
    // Releases whatever stop did not (after a failed prepare, or when stop never ran).
    ~IPTrafficStatistics();
    IPTrafficStatistics(const IPTrafficStatistics&) = delete;
    IPTrafficStatistics& operator=(const IPTrafficStatistics&) = delete;

    // Socket, conntrack object, callback, groups 1 and 3, connection, receive
    // buffer, empty cache. 0 on success; every failure is logged.
    int init(std::int16_t swId);
    // Takes the descriptor and makes it non-blocking. 0 on success.
    int prepare();
    // Receives events until terminate_requested is set, then what is
    // already queued (100 ms at most).
    void start();
    // Frees the socket and clears the cache.
    void stop();

    // libnl valid-message callback; arg is the IPTrafficStatistics object.
    static int ct_event(nl_msg* msg, void* arg);
    // Called by nl_msg_parse for each parsed conntrack object.
    static void ct_object_callback(nl_object* obj, void* arg);
    // Builds one flow sample and publishes it. True on failure.
    bool send_data(nfnl_ct* ct);

    int descriptor() const noexcept { return m_descriptor; }

private:
    // One receive; false when the socket is empty or failed.
    bool receive();
    bool has_field_server() const noexcept { return m_field_server != nullptr && static_cast<bool>(*m_field_server); }

    nl_sock* m_socket = nullptr;
    Nl_API_Interface* m_nl_api;
    ARA_PHM_API_Interface* m_phm_api;
    nl_cache* m_cache = nullptr;
    nfnl_ct* m_conntrack = nullptr;
    int m_descriptor = 0;
    std::uint16_t m_swId;
    Ethernet_field_server_handle* m_field_server;
    Overrun_count m_overruns;
};
