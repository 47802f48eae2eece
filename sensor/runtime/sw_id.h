// The partition (SW-ID) the sensor runs in, found from the host name.
#pragma once

#include <cstdint>

class Systemcall_API_Interface;

inline constexpr std::int16_t VM_HOUSEKEEPING = 264;
inline constexpr std::int16_t VM_ADAPTIVE = 265;
inline constexpr std::int16_t VM_JAVA = 266;
inline constexpr std::int16_t SWID_QEMU = 42;

// The failure result of get_SwId; no partition has this number.
inline constexpr std::int16_t SWID_INVALID = 1;

// Looks the exact host name up in the partition table. Returns SWID_INVALID
// (1) when the host name cannot be read or names no partition.
std::int16_t get_SwId(Systemcall_API_Interface& systemcall_api);
