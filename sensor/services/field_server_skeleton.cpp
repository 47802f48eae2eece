#include "sensor/services/field_server_skeleton.h"

#include "ara/log/logging.h"
#include "sensor/services/ids_ethernet_sensor_skeleton.h"

namespace {

// Method calls run concurrently on the runtime's pool.
constexpr int parallel_method_processing = 1;

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("FSRV", "IDSEthernetSensor field server");
    return instance;
}

}  // namespace

using ksr::services::idsethernetsensor::skeleton::IDSEthernetSensorSkeleton;
namespace datatypes = ksr::services::idsethernetsensor::datatypes;

Field_Server_Skeleton::Field_Server_Skeleton() = default;

bool Field_Server_Skeleton::ready(const char* operation) const {
    if (m_skeleton) {
        return true;
    }
    logger().LogError() << "Field_Server_Skeleton: " << operation << " before init ignored";
    return false;
}
Field_Server_Skeleton::~Field_Server_Skeleton() = default;

void Field_Server_Skeleton::init(const std::string& instance_id) {
    logger().LogDebug() << "aracom_InstanceId_idsEthernetsensor: " << instance_id;
    // The old skeleton goes only after the new one is in place.
    auto old = std::exchange(m_skeleton, std::make_unique<IDSEthernetSensorSkeleton>(instance_id,
                                                                                     parallel_method_processing));
    old.reset();
    update_special_frame_reports(m_special_frame_seed);
    update_service_discovery_reports(m_service_discovery_seed);
    update_classifier_match_reports(m_classifier_match_seed);
    update_traffic_flow_samples(m_traffic_flow_seed);
}

void Field_Server_Skeleton::offer_service() {
    if (!ready("OfferService")) {
        return;
    }
    m_skeleton->OfferService();
}

void Field_Server_Skeleton::update_special_frame_reports(
    const std::vector<datatypes::DT_specialFrameReports_struct>& reports) {
    if (!ready("update")) {
        return;
    }
    m_skeleton->specialFrameReports.Update(reports);
}

void Field_Server_Skeleton::update_service_discovery_reports(
    const std::vector<datatypes::DT_serviceDiscoveryReports_struct>& reports) {
    if (!ready("update")) {
        return;
    }
    m_skeleton->serviceDiscoveryReports.Update(reports);
}

void Field_Server_Skeleton::update_classifier_match_reports(
    const std::vector<datatypes::DT_classifierMatchReports_struct>& reports) {
    if (!ready("update")) {
        return;
    }
    m_skeleton->classifierMatchReports.Update(reports);
}

void Field_Server_Skeleton::update_traffic_flow_samples(
    const std::vector<datatypes::DT_trafficFlowSamples_struct>& samples) {
    if (!ready("update")) {
        return;
    }
    m_skeleton->trafficFlowSamples.Update(samples);
}

void Field_Server_Skeleton::stop_offer_service() {
    if (!ready("StopOfferService")) {
        return;
    }
    m_skeleton->StopOfferService();
}
