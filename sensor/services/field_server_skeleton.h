// Publishes the Ethernet-side reports in the four fields of IDSEthernetSensor.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sensor/services/field_server_skeleton_interface.h"

namespace ksr::services::idsethernetsensor::skeleton {
class IDSEthernetSensorSkeleton;
}

class Field_Server_Skeleton : public Field_Server_Skeleton_Interface {
public:
    Field_Server_Skeleton();
    ~Field_Server_Skeleton() override;
    Field_Server_Skeleton(const Field_Server_Skeleton&) = delete;
    Field_Server_Skeleton& operator=(const Field_Server_Skeleton&) = delete;

    void init(const std::string& instance_id) override;
    void offer_service() override;
    void update_special_frame_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_specialFrameReports_struct>& reports) override;
    void update_service_discovery_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_serviceDiscoveryReports_struct>& reports)
        override;
    void update_classifier_match_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_classifierMatchReports_struct>& reports)
        override;
    void update_traffic_flow_samples(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_trafficFlowSamples_struct>& samples) override;
    void stop_offer_service() override;

private:
    // False (with an error line) while init has not run.
    bool ready(const char* operation) const;

    std::unique_ptr<ksr::services::idsethernetsensor::skeleton::IDSEthernetSensorSkeleton> m_skeleton;
    // The fields' first values.
    std::vector<ksr::services::idsethernetsensor::datatypes::DT_specialFrameReports_struct> m_special_frame_seed;
    std::vector<ksr::services::idsethernetsensor::datatypes::DT_serviceDiscoveryReports_struct> m_service_discovery_seed;
    std::vector<ksr::services::idsethernetsensor::datatypes::DT_classifierMatchReports_struct> m_classifier_match_seed;
    std::vector<ksr::services::idsethernetsensor::datatypes::DT_trafficFlowSamples_struct> m_traffic_flow_seed;
};
