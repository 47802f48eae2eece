// The last 4096 bytes of an image: metadata area and signature area, read
// from a file as the mount does, checked against a fixed test key, then the
// metadata turned into the verity table.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "controller/system/unique_fd.h"
#include "controller/verity/dm_request.h"
#include "controller/verity/trailer.h"
#include "controller/verity/verity.h"
#include "controller/verity/verity_meta.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::Input_file input;
    static ql::Verity verity("fuzz", "/nonexistent");

    const std::string& path = input.write(data, size);
    ql::Image_trailer trailer;
    {
        const ql::Unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file) {
            std::abort();
        }
        // Inputs shorter than a trailer start before the file: read_trailer
        // must cope with that as with a short read.
        ql::read_trailer(file.get(), ql::trailer_offset(size), trailer);
    }

    try {
        verity.check_metadata_signature(FUZZ_TEST_KEY, trailer.meta, ql::Image_trailer::meta_size, trailer.sig,
                                        ql::Image_trailer::sig_size);
    } catch (const std::runtime_error&) {
    }

    // The device setup parses the metadata only after a valid signature; the
    // fuzzer cannot sign, so the parse is driven directly.
    try {
        const ql::Verity_meta meta = ql::parse_verity_meta(
            std::string_view(reinterpret_cast<const char*>(trailer.meta), sizeof(trailer.meta)));
        const ql::Verity_geometry geometry = ql::verity_geometry(meta);
        const std::string table =
            ql::verity_table(ql::verity_table_fields(meta, "/dev/loop0", geometry.hash_start_block));
        if (table.length() < sizeof(ql::Dm_table_load::table)) {
            (void)ql::dm_table_load_request("fuzz", geometry.data_sectors, table);
        }
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    } catch (const std::runtime_error&) {
    }
    return 0;
}
