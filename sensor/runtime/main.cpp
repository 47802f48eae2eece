// tessaly: network intrusion-detection sensor of one partition.
#include "com/component_singleton.h"
#include "sensor/runtime/ids_sensor.h"
#include "sensor/seams/ids_interfaces.h"
#include "sensor/services/field_server_skeleton.h"
#include "sensor/services/field_server_skeleton_idsipsecuritysensor.h"

int main(int argc, char* argv[]) {
    // Declaration order is construction order; destruction runs backwards:
    // the IDSIpSecuritySensor server first, the execution client last.
    ARA_EM_Appclient em_appclient;
    Systemcall_API systemcall_api;
    ARA_PHM_API phm_api;
    Pcap_API pcap_api;
    Nl_API nl_api;
    // Must exist before any service skeleton and outlive all of them.
    ux::com::runtime::Component_singleton component(false, "");
    Field_Server_Skeleton field_server_ethernet;
    Field_Server_Skeleton_idsipsecuritysensor field_server_ipsec;

    IDS_interfaces interfaces;
    interfaces.systemcall_api = &systemcall_api;
    interfaces.em_appclient = &em_appclient;
    interfaces.phm_api = &phm_api;
    interfaces.pcap_api = &pcap_api;
    interfaces.nl_api = &nl_api;
    interfaces.field_server_ethernet = &field_server_ethernet;
    interfaces.field_server_ipsec = &field_server_ipsec;

    return IDS_Sensor(argc, argv, interfaces);
}
