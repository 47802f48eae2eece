#include "sensor/config/limit_conversion.h"

#include <cmath>

std::uint32_t saturate_to_uint32(double value) {
    if (std::isnan(value) || value <= 0.0) {
        return 0;
    }
    if (value >= 4294967296.0) {
        return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(value);  // truncates toward zero
}

std::uint32_t to_limit(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::number_unsigned:
            return static_cast<std::uint32_t>(value.get<std::uint64_t>());
        case nlohmann::json::value_t::number_integer:
            return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value.get<std::int64_t>()));
        case nlohmann::json::value_t::number_float:
            return saturate_to_uint32(value.get<double>());
        case nlohmann::json::value_t::boolean:
            return value.get<bool>() ? 1u : 0u;
        default:
            // Lets the library raise its own "type must be number" error.
            return value.get<std::uint32_t>();
    }
}
