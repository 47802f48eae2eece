#include "sensor/services/field_server_handle.h"

#include "ara/log/logging.h"

namespace field_server_detail {

void log_debug(const char* text, const char* label) {
    static ara::log::Logger& logger = ara::log::CreateLogger("FSRV", "field server handles");
    logger.LogDebug() << text << label;
}

}  // namespace field_server_detail
