// The seam objects and field servers that the sensor works with. main owns
// them all; this record only borrows them.
#pragma once

#include "sensor/seams/ara_em_appclient.h"
#include "sensor/seams/ara_phm_api.h"
#include "sensor/seams/nl_api.h"
#include "sensor/seams/pcap_api.h"
#include "sensor/seams/systemcall_api.h"

class Field_Server_Skeleton_Interface;
class Field_Server_Skeleton_Idsipsecuritysensor_Interface;

struct IDS_interfaces {
    Systemcall_API_Interface* systemcall_api = nullptr;
    ARA_EM_Appclient_Interface* em_appclient = nullptr;
    ARA_PHM_API_Interface* phm_api = nullptr;
    Pcap_API_Interface* pcap_api = nullptr;
    Nl_API_Interface* nl_api = nullptr;
    Field_Server_Skeleton_Interface* field_server_ethernet = nullptr;
    Field_Server_Skeleton_Idsipsecuritysensor_Interface* field_server_ipsec = nullptr;
};
