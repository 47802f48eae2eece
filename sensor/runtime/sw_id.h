// The partition (SW-ID) the sensor runs in, found from the host name.
#pragma once

#include <cstdint>

class Systemcall_API_Interface;

#include "sensor/common/partition.h"

// Looks the exact host name up in the partition table. Returns SWID_INVALID
// (1) when the host name cannot be read or names no partition.
std::int16_t get_SwId(Systemcall_API_Interface& systemcall_api);
