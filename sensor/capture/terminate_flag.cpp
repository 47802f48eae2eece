#include "sensor/capture/terminate_flag.h"

std::atomic<bool> terminate_requested{false};
