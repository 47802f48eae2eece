// The partitions the sensor knows, by SW-ID: the one table that the host
// name lookup, the choice of NFLOG groups and the flow statistics' log use.
#pragma once

#include <cstdint>

inline constexpr std::int16_t VM_HOUSEKEEPING = 264;
inline constexpr std::int16_t VM_ADAPTIVE = 265;
inline constexpr std::int16_t VM_JAVA = 266;
inline constexpr std::int16_t SWID_QEMU = 42;

// The failure result of get_SwId; no partition has this number.
inline constexpr std::int16_t SWID_INVALID = 1;

struct Partition {
    const char* host_name;  // exact, whole host name
    const char* constant;   // name of the constant, as the logs show it
    std::int16_t sw_id;
};

inline constexpr Partition partitions[] = {
    {"vm_housekeeping", "VM_HOUSEKEEPING", VM_HOUSEKEEPING},
    {"vm_adaptive", "VM_ADAPTIVE", VM_ADAPTIVE},
    {"vm_java", "VM_JAVA", VM_JAVA},
    {"qemu-arm64", "SWID_QEMU", SWID_QEMU},
};
