#include "sensor/config/config_document.h"

#include <exception>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sensor/config/limit_conversion.h"

namespace {

// "line L, column C" out of the library's syntax error text, else the byte.
std::string syntax_error_place(const nlohmann::json::parse_error& e) {
    const std::string text = e.what();
    const std::size_t begin = text.find("line ");
    const std::size_t end = begin == std::string::npos ? begin : text.find(':', begin);
    if (end == std::string::npos) {
        return "JSON syntax error at byte " + std::to_string(e.byte);
    }
    return "JSON syntax error at " + text.substr(begin, end - begin);
}

}  // namespace

std::optional<std::string> parse_config_document(std::istream& in, IDS_instances& config, std::string* place) {
    const char* key = "";  // the member being converted
    try {
        nlohmann::json document;
        // Stream extraction is the non-strict parse: it ends after the first value.
        in >> document;
        // Non-const access on purpose: a missing object or key becomes null
        // and the conversion then reports which type it found.
        key = "aracom_InstanceId_idsethernetsensor";
        config.aracom_InstanceId_idsethernetsensor = document["IDS_config"][key].get<std::string>();
        key = "IDSIpSecuritySensor_limit";
        config.IDSIpSecuritySensor_limit = to_limit(document["IDS_config"][key]);
        key = "aracom_InstanceId_idsipsecuritysensor";
        config.aracom_InstanceId_idsipsecuritysensor = document["IDS_config"][key].get<std::string>();
        key = "IDSEthernetSensor_limit";
        config.IDSEthernetSensor_limit = to_limit(document["IDS_config"][key]);
    } catch (const nlohmann::json::parse_error& e) {
        if (place != nullptr) {
            *place = syntax_error_place(e);
        }
        return std::string(e.what());
    } catch (const std::exception& e) {
        if (place != nullptr) {
            const bool limit = std::string(key).find("_limit") != std::string::npos;
            *place = std::string("\"IDS_config\".\"") + key + "\" must be " + (limit ? "a number" : "a string");
        }
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
