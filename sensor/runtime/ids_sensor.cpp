#include "sensor/runtime/ids_sensor.h"

#include <cstdint>
#include <exception>

#include "ara/exec/application_client.h"
#include "ara/log/logging.h"
#include "sensor/common/terminate_flag.h"
#include "sensor/config/ids_instances.h"
#include "sensor/config/read_config.h"
#include "sensor/runtime/signals.h"
#include "sensor/runtime/start_threads.h"
#include "sensor/runtime/sw_id.h"
#include "sensor/seams/ids_interfaces.h"

namespace {

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("IDSS", "IDS_Sensor");
    return instance;
}

bool report_failed(ara::exec::ApplicationReturnType result) {
    return result == ara::exec::ApplicationReturnType::kGeneralError;
}

}  // namespace

int IDS_Sensor(int argc, const char* const argv[], const IDS_interfaces& interfaces) {
    clear_stop_request();
    ara::log::InitLogging("APIS", "IDS_Sensor", ara::log::LogLevel::kInfo, ara::log::LogMode::kRemote, "");

    // Both live here until every worker thread has been joined.
    IDS_instances config;
    std::int16_t sw_id = SWID_INVALID;
    int result = 1;

    bool partition_found = false;
    if (!read_config(argc, argv, config)) {
        if (report_failed(interfaces.em_appclient->ReportApplicationState(ara::exec::ApplicationState::kRunning))) {
            logger().LogError() << "IDS_Sensor: EM state setting to Running has failed ";
        } else {
            sw_id = get_SwId(*interfaces.systemcall_api);
            partition_found = sw_id != SWID_INVALID;
        }
    }

    if (!partition_found) {
        logger().LogError() << "IDS_Sensor: Cannot detect partition. Terminating";
        result = 1;
    } else if (register_signal_handlers(*interfaces.systemcall_api) != 0) {
        logger().LogError() << "IDS_Sensor: Cannot register signal handler. Terminating";
        result = 1;
    } else {
        logger().LogDebug() << "IDS_Sensor: Start Field Server and Traffic SW-ID= " << sw_id;
        // A worker that failed to start leaves the others running until the
        // stop request, but the exit status still reports the failure.
        try {
            result = start_threads(interfaces, sw_id, config);
        } catch (const std::exception& error) {
            // Only the field servers' set-up on this thread can get here.
            logger().LogError() << "IDS_Sensor: cannot start the workers: " << error.what();
            result = 1;
        }
    }

    if (report_failed(interfaces.em_appclient->ReportApplicationState(ara::exec::ApplicationState::kTerminating))) {
        logger().LogError() << "IDS_Sensor: IDS_Sensor: EM state setting to Termination has failed ";
        result = 1;
    }
    return result;
}
