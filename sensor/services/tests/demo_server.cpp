// Offers both services and publishes a sample report in every field every
// 100 ms, for tests that look at the traffic from outside the process.
// Usage: demo_server <ethernet instance> <ipsec instance> <seconds>
// Prints "ready" once both services are offered.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "com/component_singleton.h"
#include "sensor/services/field_server_skeleton.h"
#include "sensor/services/field_server_skeleton_idsipsecuritysensor.h"

namespace {

namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <ethernet instance> <ipsec instance> <seconds>\n", argv[0]);
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    const int rounds = std::atoi(argv[3]) * 10;

    ux::com::runtime::Component_singleton component(false, "");
    Field_Server_Skeleton ethernet;
    Field_Server_Skeleton_idsipsecuritysensor ipsec_server;
    ethernet.init(argv[1]);
    ipsec_server.init(argv[2]);
    ethernet.offer_service();
    ipsec_server.offer_service();
    std::printf("ready\n");
    std::fflush(stdout);

    for (int i = 1; i <= rounds && !stop_requested; ++i) {
        eth::DT_specialFrameReports_struct special;
        special.reportTypeId = eth::special_frame_report_type_id;
        special.swId = 42;
        special.timestamp = static_cast<std::uint64_t>(i);
        special.payload = eth::Byte_array{0x45, 0x00, 0x00, 0x1c};
        special.frameType = eth::Special_frame_type::DoIP;
        special.truncatedLength = 0;
        ethernet.update_special_frame_reports({special});

        eth::DT_trafficFlowSamples_struct flow;
        flow.reportTypeId = eth::traffic_flow_sample_type_id;
        flow.swId = 42;
        flow.timestamp = static_cast<std::uint64_t>(i);
        flow.sourceIpAddr = "10.0.0.1";
        flow.destinationIpAddr = "10.0.0.2";
        flow.protocol = eth::Ip_protocol::UDP;
        flow.sourcePort = 13400;
        flow.destinationPort = 13400;
        flow.packets = static_cast<std::uint32_t>(i);
        flow.bytes = static_cast<std::uint64_t>(i) * 100;
        ethernet.update_traffic_flow_samples({flow});

        ipsec::DT_firewallFilterReports_struct fw;
        fw.reportTypeId = ipsec::firewall_filter_report_type_id;
        fw.swId = 42;
        fw.timestamp = static_cast<std::uint64_t>(i);
        fw.logPrefix = "fw.drop";
        fw.payload = ipsec::Byte_array{0x60};
        fw.truncatedLength = 0;
        ipsec_server.update_firewall_filter_reports({fw});
        ::usleep(100 * 1000);
    }
    ethernet.stop_offer_service();
    ipsec_server.stop_offer_service();
    return 0;
}
