#include "meta_config.h"

#include <sstream>

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

}  // namespace ql
