#include "meta_config.h"

#include <sstream>

#include "controller/log/log.h"

namespace ql {

std::vector<Meta_line> split_meta_lines(const std::string& text) {
    std::vector<Meta_line> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        auto equals = line.find('=');
        if (equals == std::string::npos) {
            lines.push_back({line, line, line});
        } else {
            lines.push_back({line, line.substr(0, equals), line.substr(equals + 1)});
        }
    }
    return lines;
}

std::optional<unsigned long long> data_partition_size_mb(const std::string& text) {
    std::string size_text;
    bool has_size = false;
    for (const Meta_line& line : split_meta_lines(text)) {
        LOG_DEBUG("config: ", line.text);
        if (line.key == "DATASIZEMB") {
            size_text = line.value;
            has_size = true;
            break;
        }
    }
    if (!has_size) {
        return std::nullopt;
    }
    const unsigned long long size_mb = std::stoull(size_text, nullptr, 10);
    if (static_cast<long long>(size_mb) < 1) {
        return std::nullopt;
    }
    return size_mb;
}

}  // namespace ql
