#include "sensor/capture/capture_log.h"

namespace capture {

ara::log::Logger& logger() {
    static ara::log::Logger& instance = ara::log::CreateLogger("TRAF", "Packet capture");
    return instance;
}

}  // namespace capture
