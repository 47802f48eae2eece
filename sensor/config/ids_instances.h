// Configuration values of the sensor: the instance identifiers under which
// the two services are offered and the two report rate limits.
#pragma once

#include <cstdint>
#include <string>

struct IDS_instances {
    std::string aracom_InstanceId_idsethernetsensor;
    std::uint32_t IDSEthernetSensor_limit = 0;
    std::string aracom_InstanceId_idsipsecuritysensor;
    std::uint32_t IDSIpSecuritySensor_limit = 0;
};
