// Turning a configured limit (a JSON number or boolean) into uint32.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

// Integers keep their low 32 bits, floating-point numbers are truncated
// toward zero and saturated to 0..4294967295 (NaN gives 0), booleans give 0
// or 1. Any other type throws the library's type error.
std::uint32_t to_limit(const nlohmann::json& value);
std::uint32_t saturate_to_uint32(double value);
