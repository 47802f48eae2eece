// The OCI runtime "config.json" of an image: the user and group of the
// container's main process.
#include <cstddef>
#include <cstdint>

#include "controller/container/config.h"
#include "controller/system/filesystem.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::Input_file input;
    static ql::Filesystem filesystem;
    ql::Config<ql::Filesystem> config(&filesystem);
    (void)config.read_process_user(input.write(data, size));
    return 0;
}
