// The logger of the capture component.
#pragma once

#include "ara/log/logging.h"

namespace capture {

ara::log::Logger& logger();

}  // namespace capture
