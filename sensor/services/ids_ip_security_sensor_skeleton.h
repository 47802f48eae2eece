// Service skeleton of IDSIpSecuritySensor: one field with Get and Notify.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com/skeleton.h"
#include "sensor/services/report_serializer.h"
#include "sensor/services/report_types.h"

namespace ksr::services::idsipsecuritysensor {

struct IDSIpSecuritySensor {
    static constexpr const char* service_name = "ksr::services::idsipsecuritysensor::IDSIpSecuritySensor";
    static constexpr std::uint32_t description = 0x10001;  // 1 method, 1 event
};

namespace skeleton {

class IDSIpSecuritySensorSkeleton : public ara::com::internal::skeleton::Skeleton<IDSIpSecuritySensor> {
public:
    IDSIpSecuritySensorSkeleton(const std::string& instance, int processing_mode)
        : Skeleton(instance, processing_mode),
          firewallFilterReports(m_impl, 0, &serialize_payload<datatypes::DT_firewallFilterReports_struct>) {
        m_impl.log_constructed();
    }
    ~IDSIpSecuritySensorSkeleton() override { m_impl.shutdown(); }

    ara::com::internal::skeleton::Field<std::vector<datatypes::DT_firewallFilterReports_struct>>
        firewallFilterReports;
};

}  // namespace skeleton
}  // namespace ksr::services::idsipsecuritysensor
