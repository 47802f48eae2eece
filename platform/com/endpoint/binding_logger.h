// The binding's logger and its trace records: JSON objects under
// "1_incident", built only when their level is enabled.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ara/log/logging.h"

namespace ux::com::cpp_binding {

ara::log::Logger& logger();

// Starts a trace record: {"1_incident": {"1_id": id, "2_service_id": ..., "3_instance_id": ...}}.
nlohmann::json trace_record(const char* id, std::uint16_t service_id, std::uint16_t instance_id);

// Bytes as lower-case hex, for the "2_data" of trace records.
std::string hex_text(const std::vector<std::uint8_t>& bytes);

// Writes the record at the level (the caller checked IsLogEnabled).
void log_trace(ara::log::LogLevel level, const nlohmann::json& record);

}  // namespace ux::com::cpp_binding
