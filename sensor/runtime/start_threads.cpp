#include "sensor/runtime/start_threads.h"

#include <functional>
#include <thread>

#include "sensor/capture/traffic.h"
#include "sensor/config/ids_instances.h"
#include "sensor/flowstats/ip_traffic_statistics.h"
#include "sensor/seams/ids_interfaces.h"
#include "sensor/services/field_server_handle.h"

namespace {

void offer_services(const Ethernet_field_server_handle& ethernet, const Ipsec_field_server_handle& ipsec) {
    ethernet.offer_service();
    ipsec.offer_service();
}

void capture_packets(Traffic& traffic, std::int16_t sw_id, const IDS_instances& instances) {
    if (traffic.init(sw_id) != 0) {
        return;
    }
    traffic.main_loop(instances);
    traffic.close();
}

void track_connections(IPTrafficStatistics& statistics, std::int16_t sw_id) {
    if (statistics.init(sw_id) != 0) {
        return;
    }
    if (statistics.prepare() != 0) {
        return;
    }
    statistics.start();
    statistics.stop();
}

}  // namespace

void start_threads(const IDS_interfaces& interfaces, const short& sw_id, const IDS_instances& instances) {
    // Both servers get their skeletons here, on the main thread, before any
    // thread can use them.
    Ethernet_field_server_handle ethernet(interfaces.field_server_ethernet,
                                          instances.aracom_InstanceId_idsethernetsensor);
    Ipsec_field_server_handle ipsec(interfaces.field_server_ipsec, instances.aracom_InstanceId_idsipsecuritysensor);

    Traffic traffic(interfaces.pcap_api, sw_id, &ethernet, &ipsec, interfaces.phm_api);
    IPTrafficStatistics statistics(interfaces.nl_api, interfaces.phm_api, sw_id, &ethernet);

    std::thread offer(offer_services, std::cref(ethernet), std::cref(ipsec));
    std::thread capture(capture_packets, std::ref(traffic), sw_id, std::cref(instances));
    std::thread conntrack(track_connections, std::ref(statistics), sw_id);

    offer.join();
    capture.join();
    conntrack.join();
}
