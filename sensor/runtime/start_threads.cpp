#include "sensor/runtime/start_threads.h"

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

#include "ara/log/logging.h"
#include "sensor/capture/traffic.h"
#include "sensor/config/ids_instances.h"
#include "sensor/flowstats/ip_traffic_statistics.h"
#include "sensor/seams/ids_interfaces.h"
#include "sensor/services/field_server_handle.h"

namespace {

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("IDSS", "IDS_Sensor");
    return instance;
}

// Runs a thread body; an exception that leaves it is logged and counts as a
// failure of that worker instead of ending the process.
template <typename Body>
void guarded(const char* worker, std::atomic<bool>& failed, Body body) noexcept {
    try {
        if (!body()) {
            failed.store(true);
        }
    } catch (const std::exception& error) {
        failed.store(true);
        logger().LogError() << "IDS_Sensor: " << worker << " failed: " << error.what();
    } catch (...) {
        failed.store(true);
        logger().LogError() << "IDS_Sensor: " << worker << " failed: unknown exception";
    }
}

// The offer of one service; a failure is logged with the service, the
// endpoint and the reason, and ends the offer thread.
template <typename Handle>
bool offer(const Handle& handle, const char* service) {
    try {
        handle.offer_service();
        return true;
    } catch (const std::exception& error) {
        logger().LogError() << "IDS_Sensor: cannot offer " << service << ": " << error.what();
    } catch (...) {
        logger().LogError() << "IDS_Sensor: cannot offer " << service << ": unknown exception";
    }
    return false;
}

bool offer_services(const Ethernet_field_server_handle& ethernet, const Ipsec_field_server_handle& ipsec) {
    return offer(ethernet, "IDSEthernetSensor") && offer(ipsec, "IDSIpSecuritySensor");
}

bool capture_packets(Traffic& traffic, std::int16_t sw_id, const IDS_instances& instances) {
    if (traffic.init(sw_id) != 0) {
        return false;
    }
    try {
        traffic.main_loop(instances);
    } catch (...) {
        // The capture is still closed and the offer stopped.
        traffic.close();
        throw;
    }
    traffic.close();
    return true;
}

bool track_connections(IPTrafficStatistics& statistics, std::int16_t sw_id) {
    if (statistics.init(sw_id) != 0) {
        return false;
    }
    if (statistics.prepare() != 0) {
        return false;
    }
    try {
        statistics.start();
    } catch (...) {
        statistics.stop();
        throw;
    }
    statistics.stop();
    return true;
}

}  // namespace

int start_threads(const IDS_interfaces& interfaces, const short& sw_id, const IDS_instances& instances) {
    // Both servers get their skeletons here, on the main thread, before any
    // thread can use them.
    Ethernet_field_server_handle ethernet(interfaces.field_server_ethernet,
                                          instances.aracom_InstanceId_idsethernetsensor);
    Ipsec_field_server_handle ipsec(interfaces.field_server_ipsec, instances.aracom_InstanceId_idsipsecuritysensor);

    Traffic traffic(interfaces.pcap_api, sw_id, &ethernet, &ipsec, interfaces.phm_api);
    IPTrafficStatistics statistics(interfaces.nl_api, interfaces.phm_api, sw_id, &ethernet);

    std::atomic<bool> failed{false};
    const std::int16_t partition = sw_id;
    std::thread offer_thread([&] { guarded("service offer", failed, [&] { return offer_services(ethernet, ipsec); }); });
    std::thread capture([&] {
        guarded("packet capture", failed, [&] { return capture_packets(traffic, partition, instances); });
    });
    std::thread conntrack([&] {
        guarded("connection tracking", failed, [&] { return track_connections(statistics, partition); });
    });

    offer_thread.join();
    capture.join();
    conntrack.join();
    // Both loops publish to the Ethernet service until they end, so its
    // offer stops only now, once; the IP security service's with it.
    guarded("service stop", failed, [&] {
        ethernet.stop_offer_service();
        ipsec.stop_offer_service();
        return true;
    });
    return failed.load() ? 1 : 0;
}
