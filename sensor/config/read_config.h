// Loads the sensor configuration named by the command line.
#pragma once

#include "sensor/config/ids_instances.h"

// Expects argc == 2 with the path of the JSON configuration file in argv[1].
// Returns true when loading failed; every failure is logged, nothing is thrown.
bool read_config(int argc, const char* const argv[], IDS_instances& config);
