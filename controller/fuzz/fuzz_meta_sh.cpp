// A container's "meta.sh" (its first 1023 bytes, as the start reads them):
// line split and the data partition size.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "controller/container/meta_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t bytes = 0;
    for (const ql::Meta_line& line : ql::split_meta_lines(text)) {
        bytes += line.text.size() + 1;
        if (line.key.size() > line.text.size() || line.value.size() > line.text.size()) {
            std::abort();
        }
    }
    if (bytes > text.size() + 1) {
        std::abort();
    }
    try {
        const auto size_mb = ql::data_partition_size_mb(text);
        if (size_mb && static_cast<long long>(*size_mb) < 1) {
            std::abort();
        }
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
