// Service skeleton of IDSEthernetSensor: four fields, each with Get and Notify.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com/skeleton.h"
#include "sensor/services/report_serializer.h"
#include "sensor/services/report_types.h"

namespace ksr::services::idsethernetsensor {

struct IDSEthernetSensor {
    static constexpr const char* service_name = "ksr::services::idsethernetsensor::IDSEthernetSensor";
    static constexpr std::uint32_t description = 0x40004;  // 4 methods, 4 events
};

namespace skeleton {

class IDSEthernetSensorSkeleton : public ara::com::internal::skeleton::Skeleton<IDSEthernetSensor> {
public:
    template <typename Record>
    using Field = ara::com::internal::skeleton::Field<std::vector<Record>>;

    IDSEthernetSensorSkeleton(const std::string& instance, int processing_mode)
        : Skeleton(instance, processing_mode),
          classifierMatchReports(m_impl, 0, &serialize_payload<datatypes::DT_classifierMatchReports_struct>),
          serviceDiscoveryReports(m_impl, 1, &serialize_payload<datatypes::DT_serviceDiscoveryReports_struct>),
          specialFrameReports(m_impl, 2, &serialize_payload<datatypes::DT_specialFrameReports_struct>),
          trafficFlowSamples(m_impl, 3, &serialize_payload<datatypes::DT_trafficFlowSamples_struct>) {
        m_impl.log_constructed();
    }
    // The port and dispatcher reach the fields, so they stop first.
    ~IDSEthernetSensorSkeleton() override { m_impl.shutdown(); }

    Field<datatypes::DT_classifierMatchReports_struct> classifierMatchReports;
    Field<datatypes::DT_serviceDiscoveryReports_struct> serviceDiscoveryReports;
    Field<datatypes::DT_specialFrameReports_struct> specialFrameReports;
    Field<datatypes::DT_trafficFlowSamples_struct> trafficFlowSamples;
};

}  // namespace skeleton
}  // namespace ksr::services::idsethernetsensor
