#include "sensor/runtime/sw_id.h"

#include <cerrno>
#include <map>
#include <string>

#include "ara/log/logging.h"
#include "sensor/seams/systemcall_api.h"

namespace {

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("SWID", "partition detection");
    return instance;
}

const char* hostname_error_text(int error) {
    switch (error) {
    case EINVAL:
        return "get_SwId: Get hostname: Length is negative.";
    case ENAMETOOLONG:
        return "get_SwId: Get hostname: Length is smaller than the actual size.";
    case EFAULT:
        return "get_SwId: Get hostname: Invalid address.";
    default:
        return "get_SwId: Get hostname: Unknown error.";
    }
}

}  // namespace

std::int16_t get_SwId(Systemcall_API_Interface& systemcall_api) {
    char name[64] = {};
    if (systemcall_api.gethostname(name, sizeof name) == -1) {
        logger().LogError() << hostname_error_text(errno);
        return SWID_INVALID;
    }
    // A name that fills the buffer exactly comes without terminator.
    name[sizeof name - 1] = '\0';
    const std::string hostname(name);
    logger().LogInfo() << "IDS_sensor: " << hostname << " detected";

    std::map<std::string, std::int16_t> by_name;
    for (const Partition& partition : partitions) {
        by_name.emplace(partition.host_name, partition.sw_id);
    }
    const auto found = by_name.find(hostname);
    if (found == by_name.end()) {
        logger().LogError() << "No valid hostname";
        // Say what would have worked: the partition comes from nothing else.
        std::string accepted;
        for (const auto& entry : by_name) {
            accepted += (accepted.empty() ? "" : ", ") + entry.first;
        }
        logger().LogError() << "get_SwId: the host name must be one of " << accepted << " (it is \"" << hostname
                            << "\")";
        return SWID_INVALID;
    }
    return found->second;
}
