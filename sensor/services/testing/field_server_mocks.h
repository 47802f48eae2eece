// GoogleMock field servers, for tests that expect particular reports; the
// plain fakes beside this header serve tests and benchmarks without gmock.
#pragma once

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "sensor/services/field_server_skeleton_idsipsecuritysensor_interface.h"
#include "sensor/services/field_server_skeleton_interface.h"

class Mock_ethernet_server : public Field_Server_Skeleton_Interface {
public:
    MOCK_METHOD(void, init, (const std::string& instance_id), (override));
    MOCK_METHOD(void, offer_service, (), (override));
    MOCK_METHOD(void, update_special_frame_reports,
                (const std::vector<ksr::services::idsethernetsensor::datatypes::DT_specialFrameReports_struct>&),
                (override));
    MOCK_METHOD(void, update_service_discovery_reports,
                (const std::vector<ksr::services::idsethernetsensor::datatypes::DT_serviceDiscoveryReports_struct>&),
                (override));
    MOCK_METHOD(void, update_classifier_match_reports,
                (const std::vector<ksr::services::idsethernetsensor::datatypes::DT_classifierMatchReports_struct>&),
                (override));
    MOCK_METHOD(void, update_traffic_flow_samples,
                (const std::vector<ksr::services::idsethernetsensor::datatypes::DT_trafficFlowSamples_struct>&),
                (override));
    MOCK_METHOD(void, stop_offer_service, (), (override));
};

class Mock_ipsec_server : public Field_Server_Skeleton_Idsipsecuritysensor_Interface {
public:
    MOCK_METHOD(void, init, (const std::string& instance_id), (override));
    MOCK_METHOD(void, offer_service, (), (override));
    MOCK_METHOD(void, update_firewall_filter_reports,
                (const std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>&),
                (override));
    MOCK_METHOD(void, stop_offer_service, (), (override));
};
