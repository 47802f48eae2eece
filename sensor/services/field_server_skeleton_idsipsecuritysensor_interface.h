// What the rest of the sensor sees of the IDSIpSecuritySensor field server.
#pragma once

#include <string>
#include <vector>

#include "sensor/services/report_types.h"

class Field_Server_Skeleton_Idsipsecuritysensor_Interface {
public:
    virtual ~Field_Server_Skeleton_Idsipsecuritysensor_Interface() = default;

    virtual void init(const std::string& instance_id) = 0;
    virtual void offer_service() = 0;
    virtual void update_firewall_filter_reports(
        const std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>& reports) = 0;
    // May be called more than once.
    virtual void stop_offer_service() = 0;
};
