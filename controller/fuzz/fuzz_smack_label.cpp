// The SMACK label of the process as the kernel file gives it, and the check
// that decides whether it may be used in mount options.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "controller/container/smack_label.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::Input_file input;
    const ql::Smack_label_read read = ql::read_smack_label(input.write(data, size));
    if (read.label.size() > 256 || read.label.find('\0') != std::string::npos) {
        std::abort();
    }
    if (ql::is_acceptable_smack_label(read.label)) {
        // Accepted labels go into a mount option string: no separators, no
        // quoting, nothing outside the allowed set.
        if (read.label.find_first_of(",= \n\t\"'") != std::string::npos || read.label.size() > 255) {
            std::abort();
        }
    }
    (void)ql::is_acceptable_smack_label(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
