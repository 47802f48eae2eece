// The container's "meta.sh": KEY=VALUE lines, of which only the data
// partition size is used.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ql {

// One line split at its first '='; a line without '=' is both key and value.
// Nothing is trimmed.
struct Meta_line {
    std::string text;
    std::string key;
    std::string value;
};

// Splits text at line feeds.
std::vector<Meta_line> split_meta_lines(const std::string& text);

// Largest size in MiB whose byte count still fits a signed 64-bit file offset.
constexpr unsigned long long max_data_size_mb = 0x7FFFFFFFFFFFFFFFULL >> 20;

// The data partition size in MiB from the first "DATASIZEMB" line of the
// text; nothing when there is no such line or the size is below 1 (read as a
// signed number). Raises std::stoull's errors for a value that is not a
// number; the caller checks the upper bound. Logs each line at DEBUG.
std::optional<unsigned long long> data_partition_size_mb(const std::string& text);

}  // namespace ql
