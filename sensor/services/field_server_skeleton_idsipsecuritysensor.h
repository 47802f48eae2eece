// Publishes the firewall reports in the field of IDSIpSecuritySensor.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sensor/services/field_server_skeleton_idsipsecuritysensor_interface.h"

namespace ksr::services::idsipsecuritysensor::skeleton {
class IDSIpSecuritySensorSkeleton;
}

class Field_Server_Skeleton_idsipsecuritysensor : public Field_Server_Skeleton_Idsipsecuritysensor_Interface {
public:
    Field_Server_Skeleton_idsipsecuritysensor();
    ~Field_Server_Skeleton_idsipsecuritysensor() override;
    Field_Server_Skeleton_idsipsecuritysensor(const Field_Server_Skeleton_idsipsecuritysensor&) = delete;
    Field_Server_Skeleton_idsipsecuritysensor& operator=(const Field_Server_Skeleton_idsipsecuritysensor&) = delete;

    void init(const std::string& instance_id) override;
    void offer_service() override;
    void update_firewall_filter_reports(
        const std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>& reports)
        override;
    void stop_offer_service() override;

private:
    // False (with an error line) while init has not run.
    bool ready(const char* operation) const;

    std::unique_ptr<ksr::services::idsipsecuritysensor::skeleton::IDSIpSecuritySensorSkeleton> m_skeleton;
    std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct> m_firewall_filter_seed;
};
