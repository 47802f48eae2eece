#include "sensor/services/field_server_skeleton_idsipsecuritysensor.h"

#include "ara/log/logging.h"
#include "sensor/services/ids_ip_security_sensor_skeleton.h"

namespace {

constexpr int parallel_method_processing = 1;

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("FSRV", "IDSIpSecuritySensor field server");
    return instance;
}

}  // namespace

using ksr::services::idsipsecuritysensor::skeleton::IDSIpSecuritySensorSkeleton;
namespace datatypes = ksr::services::idsipsecuritysensor::datatypes;

Field_Server_Skeleton_idsipsecuritysensor::Field_Server_Skeleton_idsipsecuritysensor() = default;

bool Field_Server_Skeleton_idsipsecuritysensor::ready(const char* operation) const {
    if (m_skeleton) {
        return true;
    }
    logger().LogError() << "Field_Server_Skeleton_idsipsecuritysensor: " << operation << " before init ignored";
    return false;
}
Field_Server_Skeleton_idsipsecuritysensor::~Field_Server_Skeleton_idsipsecuritysensor() = default;

void Field_Server_Skeleton_idsipsecuritysensor::init(const std::string& instance_id) {
    logger().LogDebug() << "aracom_InstanceId_idsIPsecsensor: " << instance_id;
    auto old = std::exchange(m_skeleton, std::make_unique<IDSIpSecuritySensorSkeleton>(instance_id,
                                                                                       parallel_method_processing));
    old.reset();
    update_firewall_filter_reports(m_firewall_filter_seed);
}

void Field_Server_Skeleton_idsipsecuritysensor::offer_service() {
    if (!ready("OfferService")) {
        return;
    }
    m_skeleton->OfferService();
}

void Field_Server_Skeleton_idsipsecuritysensor::update_firewall_filter_reports(
    const std::vector<datatypes::DT_firewallFilterReports_struct>& reports) {
    if (!ready("update")) {
        return;
    }
    m_skeleton->firewallFilterReports.Update(reports);
}

void Field_Server_Skeleton_idsipsecuritysensor::stop_offer_service() {
    if (!ready("StopOfferService")) {
        return;
    }
    m_skeleton->StopOfferService();
}
