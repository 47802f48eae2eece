#include "com/endpoint/binding_logger.h"

namespace ux::com::cpp_binding {

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("UXCM", "communication binding");
    return instance;
}

nlohmann::json trace_record(const char* id, std::uint16_t service_id, std::uint16_t instance_id) {
    nlohmann::json incident;
    incident["1_id"] = id;
    incident["2_service_id"] = service_id;
    incident["3_instance_id"] = instance_id;
    nlohmann::json record;
    record["1_incident"] = std::move(incident);
    return record;
}

std::string hex_text(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0f]);
    }
    return text;
}

void log_trace(ara::log::LogLevel level, const nlohmann::json& record) {
    logger().WithLevel(level) << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ux::com::cpp_binding
