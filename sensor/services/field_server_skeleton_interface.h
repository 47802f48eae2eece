// What the rest of the sensor sees of the IDSEthernetSensor field server.
#pragma once

#include <string>
#include <vector>

#include "sensor/services/report_types.h"

class Field_Server_Skeleton_Interface {
public:
    virtual ~Field_Server_Skeleton_Interface() = default;

    // Creates the service skeleton for the configured instance and gives
    // every field an empty list.
    virtual void init(const std::string& instance_id) = 0;
    virtual void offer_service() = 0;

    // Each update replaces the field's value with a copy of the list and
    // notifies the subscribers; the caller keeps its list.
    virtual void update_special_frame_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_specialFrameReports_struct>& reports) = 0;
    virtual void update_service_discovery_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_serviceDiscoveryReports_struct>& reports) = 0;
    virtual void update_classifier_match_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_classifierMatchReports_struct>& reports) = 0;
    virtual void update_traffic_flow_samples(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_trafficFlowSamples_struct>& samples) = 0;

    // May be called more than once.
    virtual void stop_offer_service() = 0;
};
