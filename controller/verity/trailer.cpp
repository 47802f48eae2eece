#include "controller/verity/trailer.h"

namespace ql {

std::int64_t trailer_offset(std::uintmax_t file_size) {
    return static_cast<std::int64_t>(file_size) -
           static_cast<std::int64_t>(sizeof(Image_trailer::meta) + sizeof(Image_trailer::sig));
}

void read_trailer(std::FILE* file, std::int64_t offset, Image_trailer& trailer) {
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return;
    }
    // Short reads are caught by the signature check, not here.
    (void)std::fread(trailer.meta, 1, sizeof(trailer.meta), file);
    (void)std::fread(trailer.sig, 1, sizeof(trailer.sig), file);
}

}  // namespace ql
