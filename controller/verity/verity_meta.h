// The metadata text of a verified image and its parser.
#pragma once

#include <cstddef>
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

// The digest length in bytes of a hash algorithm the kernel's dm-verity
// knows by that name; 0 for an unknown name.
std::size_t verity_digest_size(const std::string& algorithm);

// Empty when every value has the form the kernel's table needs: hashtype 0
// or 1; datablocks a decimal number above 0; block sizes decimal powers of
// two from 512 to 65536; a data area whose size in bytes fits 64 bits; a
// known hash algorithm; roothash hex of that algorithm's digest length; salt
// "-" or hex of an even length. Otherwise the name of the first bad key.
std::string malformed_verity_meta_key(const Verity_meta& verity_meta);

}  // namespace ql
