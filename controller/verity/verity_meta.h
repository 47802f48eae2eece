// The metadata text of a verified image and its parser.
#pragma once

#include <string>
#include <string_view>

namespace ql {

struct Verity_meta {
    std::string hashtype;
    std::string datablocks;
    std::string datablocksize;
    std::string hashblocksize;
    std::string hashalgorithm;
    std::string salt;
    std::string roothash;
};

// Parses the metadata area (all of its bytes, NUL padding included). Lines are
// "key=value"; an empty line ends the block. Logs each line it reads at DEBUG;
// raises the assertion error for an empty value or a missing field.
Verity_meta parse_verity_meta(std::string_view meta);

}  // namespace ql
