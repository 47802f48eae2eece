// Part of the verity unit: its assertions name verity.cpp.
#define QL_SOURCE_FILE "verity.cpp"

#include "controller/verity/verity_meta.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "controller/log/log.h"

namespace ql {

namespace {

std::string* meta_field(Verity_meta& verity_meta, const std::string& key) {
    if (key == "hashtype") return &verity_meta.hashtype;
    if (key == "datablocks") return &verity_meta.datablocks;
    if (key == "datablocksize") return &verity_meta.datablocksize;
    if (key == "hashblocksize") return &verity_meta.hashblocksize;
    if (key == "hashalgorithm") return &verity_meta.hashalgorithm;
    if (key == "salt") return &verity_meta.salt;
    if (key == "roothash") return &verity_meta.roothash;
    return nullptr;
}

bool is_decimal(const std::string& text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_hex(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// The value of a decimal text that fits 64 bits.
bool decimal_value(const std::string& text, std::uint64_t& value) {
    if (!is_decimal(text)) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

bool is_block_size(const std::string& text) {
    std::uint64_t value = 0;
    return decimal_value(text, value) && value >= 512 && value <= 65536 && (value & (value - 1)) == 0;
}

}  // namespace

Verity_meta parse_verity_meta(std::string_view meta) {
    Verity_meta verity_meta;
    std::size_t begin = 0;
    while (begin < meta.size()) {
        std::size_t end = meta.find('\n', begin);
        if (end == std::string_view::npos) {
            end = meta.size();
        }
        const std::string line(meta.substr(begin, end - begin));
        begin = end + 1;

        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? line : line.substr(equals + 1);
        if (key.empty()) {
            break;
        }
        LOG_DEBUG("meta: ", line);
        QL_CHECK(!value.empty(), "meta data value must not be empty");
        if (std::string* field = meta_field(verity_meta, key)) {
            *field = value;
        }
    }

    QL_CHECK(!verity_meta.roothash.empty(), "roothash", " not set");
    QL_CHECK(!verity_meta.salt.empty(), "salt", " not set");
    QL_CHECK(!verity_meta.hashalgorithm.empty(), "hashalgorithm", " not set");
    QL_CHECK(!verity_meta.hashblocksize.empty(), "hashblocksize", " not set");
    QL_CHECK(!verity_meta.datablocksize.empty(), "datablocksize", " not set");
    QL_CHECK(!verity_meta.datablocks.empty(), "datablocks", " not set");
    QL_CHECK(!verity_meta.hashtype.empty(), "hashtype", " not set");
    return verity_meta;
}

std::size_t verity_digest_size(const std::string& algorithm) {
    static const std::pair<const char*, std::size_t> known[] = {
        {"sha1", 20},     {"sha224", 28},   {"sha256", 32},      {"sha384", 48},
        {"sha512", 64},   {"sha3-256", 32}, {"sha3-512", 64},    {"blake2b-256", 32},
        {"blake2b-512", 64}, {"sm3", 32},
    };
    for (const auto& [name, size] : known) {
        if (algorithm == name) {
            return size;
        }
    }
    return 0;
}

std::string malformed_verity_meta_key(const Verity_meta& verity_meta) {
    if (verity_meta.hashtype != "0" && verity_meta.hashtype != "1") {
        return "hashtype";
    }
    std::uint64_t datablocks = 0;
    if (!decimal_value(verity_meta.datablocks, datablocks) || datablocks == 0) {
        return "datablocks";
    }
    if (!is_block_size(verity_meta.datablocksize)) {
        return "datablocksize";
    }
    if (!is_block_size(verity_meta.hashblocksize)) {
        return "hashblocksize";
    }
    std::uint64_t block_size = 0;
    decimal_value(verity_meta.datablocksize, block_size);
    // The data area, its hash header and a hash block must stay within 64 bits.
    if (datablocks > (UINT64_MAX - 2 * 65536) / block_size) {
        return "datablocks";
    }
    const std::size_t digest_size = verity_digest_size(verity_meta.hashalgorithm);
    if (digest_size == 0) {
        return "hashalgorithm";
    }
    if (verity_meta.roothash.size() != 2 * digest_size || !is_hex(verity_meta.roothash)) {
        return "roothash";
    }
    if (verity_meta.salt != "-" && (verity_meta.salt.size() % 2 != 0 || !is_hex(verity_meta.salt))) {
        return "salt";
    }
    return std::string();
}

}  // namespace ql
