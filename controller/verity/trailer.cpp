#include "controller/verity/trailer.h"

#include <unistd.h>

#include <cerrno>

namespace ql {

std::int64_t trailer_offset(std::uintmax_t file_size) {
    return static_cast<std::int64_t>(file_size) -
           static_cast<std::int64_t>(sizeof(Image_trailer::meta) + sizeof(Image_trailer::sig));
}

namespace {

// Reads up to size bytes at offset; what cannot be read stays as it is.
void read_at(int fd, unsigned char* buffer, std::size_t size, std::int64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset) +
                                                                          static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        done += static_cast<std::size_t>(count);
    }
}

}  // namespace

void read_trailer(int fd, std::int64_t offset, Image_trailer& trailer) {
    if (offset < 0) {
        return;
    }
    // Short reads are caught by the signature check, not here.
    read_at(fd, trailer.meta, sizeof(trailer.meta), offset);
    read_at(fd, trailer.sig, sizeof(trailer.sig), offset + static_cast<std::int64_t>(sizeof(trailer.meta)));
}

}  // namespace ql
