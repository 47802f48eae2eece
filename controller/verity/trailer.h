// The trailer of a verified image: the last 4096 bytes of the file, metadata
// text first, then the signature area.
#pragma once

#include <cstdint>

namespace ql {

struct Image_trailer {
    static constexpr std::int32_t meta_size = 1024;
    static constexpr std::int32_t sig_size = 3072;
    unsigned char meta[meta_size] = {};
    unsigned char sig[sig_size] = {};
};

// Where the trailer starts in a file of file_size bytes; 0 or negative when
// the file is too small to hold anything besides a trailer.
std::int64_t trailer_offset(std::uintmax_t file_size);

// Reads the metadata and then the signature area from offset of the open
// image. Bytes that cannot be read stay zero (the signature check then fails).
void read_trailer(int fd, std::int64_t offset, Image_trailer& trailer);

}  // namespace ql
