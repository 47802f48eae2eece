#include "sensor/config/config_document.h"

#include <exception>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sensor/config/limit_conversion.h"

std::optional<std::string> parse_config_document(std::istream& in, IDS_instances& config) {
    try {
        nlohmann::json document;
        // Stream extraction is the non-strict parse: it ends after the first value.
        in >> document;
        // Non-const access on purpose: a missing object or key becomes null
        // and the conversion then reports which type it found.
        config.aracom_InstanceId_idsethernetsensor =
            document["IDS_config"]["aracom_InstanceId_idsethernetsensor"].get<std::string>();
        config.IDSIpSecuritySensor_limit = to_limit(document["IDS_config"]["IDSIpSecuritySensor_limit"]);
        config.aracom_InstanceId_idsipsecuritysensor =
            document["IDS_config"]["aracom_InstanceId_idsipsecuritysensor"].get<std::string>();
        config.IDSEthernetSensor_limit = to_limit(document["IDS_config"]["IDSEthernetSensor_limit"]);
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

std::optional<std::string> parse_config_text(std::string_view text, IDS_instances& config) {
    try {
        std::istringstream in{std::string(text)};
        return parse_config_document(in, config);
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
}
