#include "controller/verity/dm_request.h"

#include <algorithm>
#include <cstring>

namespace ql {

struct dm_ioctl dm_header(const std::string& name, std::uint32_t data_size) {
    struct dm_ioctl header;
    std::memset(&header, 0, sizeof(header));
    header.version[0] = 4;
    header.version[1] = 37;
    header.version[2] = 0;
    header.data_size = data_size;
    header.data_start = dm_header_size;
    // Header zeroed above: a shorter name stays NUL-terminated.
    name.copy(header.name, sizeof(header.name));
    return header;
}

Verity_geometry verity_geometry(const Verity_meta& verity_meta) {
    const std::uint64_t datablocks = std::stoull(verity_meta.datablocks, nullptr, 10);
    const std::uint64_t datablocksize = std::stoull(verity_meta.datablocksize, nullptr, 10);
    const std::uint64_t hashblocksize = std::stoull(verity_meta.hashblocksize, nullptr, 10);
    const std::uint64_t data_size = datablocks * datablocksize;
    Verity_geometry geometry{};
    geometry.data_sectors = data_size >> 9;
    // The hash tree starts in the first whole hash block after the data area
    // and the 512-byte hash area header.
    geometry.hash_start_block = hashblocksize == 0 ? 0 : (data_size + 511 + hashblocksize) / hashblocksize;
    return geometry;
}

std::vector<std::string> verity_table_fields(const Verity_meta& verity_meta, const std::string& loop_path,
                                             std::uint64_t hash_start_block) {
    return {verity_meta.hashtype,
            loop_path,
            loop_path,
            verity_meta.datablocksize,
            verity_meta.hashblocksize,
            verity_meta.datablocks,
            std::to_string(hash_start_block),
            verity_meta.hashalgorithm,
            verity_meta.roothash,
            verity_meta.salt};
}

std::string verity_table(const std::vector<std::string>& fields) {
    std::string table;
    for (const std::string& field : fields) {
        table += field;
        table += ' ';
    }
    return table;
}

Dm_table_load dm_table_load_request(const std::string& name, std::uint64_t data_sectors,
                                    const std::string& table) {
    Dm_table_load data;
    std::memset(&data, 0, sizeof(data));
    data.header = dm_header(name, sizeof(Dm_table_load));
    data.header.target_count = 1;
    data.header.flags = DM_READONLY_FLAG;
    data.target.sector_start = 0;
    data.target.length = data_sectors;
    data.target.status = 0;
    data.target.next = 0;
    std::memcpy(data.target.target_type, "verity", sizeof("verity"));
    std::memcpy(data.table, table.data(), std::min(table.size(), sizeof(data.table) - 1));
    return data;
}

}  // namespace ql
