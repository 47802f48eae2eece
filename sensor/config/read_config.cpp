#include "sensor/config/read_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "ara/log/logging.h"
#include "sensor/config/config_document.h"
#include "sensor/seams/platform_extensions.h"

namespace {

ara::log::Logger& logger() {
    static ara::log::Logger& l = ara::log::CreateLogger("CONF", "configuration loader");
    return l;
}

// A directory opens as a stream but can never be read; treat it like a
// missing file.
bool is_directory(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// SOME/IP reserves instance 0 and 0xFFFF (any instance); an identifier that
// maps to either, as a number or through the text fold, cannot be offered.
bool reserved_instance(const char* path, const char* key, const std::string& text) {
    const std::uint16_t id = platform_extensions::instance_id(text);
    if (id != 0 && id != 0xFFFF) {
        return false;
    }
    logger().LogError() << "Invalid config file! " << key << " \"" << text << "\" gives the reserved SOME/IP instance id "
                        << (id == 0 ? "0" : "0xFFFF");
    logger().LogError() << "Config file " << path << ": \"IDS_config\".\"" << key
                        << "\" must name another instance";
    return true;
}

}  // namespace

bool read_config(int argc, const char* const argv[], IDS_instances& config) {
    try {
        if (argc != 2 || argv == nullptr || argv[1] == nullptr) {
            logger().LogError() << "Wrong number of arguments.";
            logger().LogError() << "Usage: tessaly [Path to configuration file]";
            return true;
        }
        bool failed = false;
        std::ifstream file;
        int open_error = EISDIR;
        if (!is_directory(argv[1])) {
            errno = 0;
            file.open(argv[1], std::ios::in | std::ios::binary);
            open_error = errno;
        }
        if (!file.is_open() || file.fail()) {
            logger().LogError()
                << "Unable to find config file! Please make sure the path to the json file is correct.";
            failed = true;
        }
        // Parsing the failed stream as well yields the parser's end-of-input error.
        std::string place;
        if (auto error = parse_config_document(file, config, &place)) {
            logger().LogError() << "Unable to parse config file! Please make sure it is valid json. what= "
                                << *error;
            // The library's text names neither the file nor the key.
            if (failed) {
                place = std::string("cannot be read (") + std::strerror(open_error) + ")";
            }
            logger().LogError() << "Config file " << argv[1] << ": " << place;
            return true;
        }
        if (reserved_instance(argv[1], "aracom_InstanceId_idsethernetsensor",
                              config.aracom_InstanceId_idsethernetsensor) ||
            reserved_instance(argv[1], "aracom_InstanceId_idsipsecuritysensor",
                              config.aracom_InstanceId_idsipsecuritysensor)) {
            return true;
        }
        logger().LogDebug() << "aracom_InstanceId_idsethernetsensor: "
                            << config.aracom_InstanceId_idsethernetsensor;
        logger().LogDebug() << "IDSEthernetSensor_limit: " << config.IDSEthernetSensor_limit;
        logger().LogDebug() << "aracom_InstanceId_idsipsecuritysensor: "
                            << config.aracom_InstanceId_idsipsecuritysensor;
        logger().LogDebug() << "IDSIpSecuritySensor_limit: " << config.IDSIpSecuritySensor_limit;
        return failed;
    } catch (...) {
        // Only allocation failures can get here; the loader still must not throw.
        return true;
    }
}
