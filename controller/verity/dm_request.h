// Device-mapper request buffers for one dm-verity target and the numbers and
// parameter fields that go into them. Pure functions: no kernel calls.
#pragma once

#include <linux/dm-ioctl.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "controller/verity/verity_meta.h"

namespace ql {

// Size of a request that carries only the header (create, remove, resume).
constexpr std::uint32_t dm_header_size = sizeof(struct dm_ioctl);

// One table-load request: the header, one target and its parameter string.
struct Dm_table_load {
    struct dm_ioctl header;
    struct dm_target_spec target;
    char table[1024];
};
static_assert(sizeof(struct dm_ioctl) == 312, "unexpected dm_ioctl layout");
static_assert(sizeof(Dm_table_load) == 1376, "unexpected table-load layout");

// A zeroed header with the interface version 4.37.0, the given data size, the
// data right behind the header and the name (at most 128 bytes copied).
struct dm_ioctl dm_header(const std::string& name, std::uint32_t data_size);

// Numbers that the verity target needs beyond the metadata text.
struct Verity_geometry {
    std::uint64_t data_sectors;      // 512-byte sectors of the data area
    std::uint64_t hash_start_block;  // first hash block behind data and hash header
};

// Converts datablocks, datablocksize and hashblocksize with std::stoull (its
// invalid-argument and out-of-range errors pass through).
Verity_geometry verity_geometry(const Verity_meta& verity_meta);

// The ten fields of the verity table line, in kernel order.
std::vector<std::string> verity_table_fields(const Verity_meta& verity_meta, const std::string& loop_path,
                                             std::uint64_t hash_start_block);

// The table line: every field followed by one space.
std::string verity_table(const std::vector<std::string>& fields);

// A read-only table-load request for one "verity" target over the data
// sectors; the table must be shorter than the table field.
Dm_table_load dm_table_load_request(const std::string& name, std::uint64_t data_sectors,
                                    const std::string& table);

}  // namespace ql
