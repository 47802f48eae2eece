// The metadata text rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <tuple>

#include "controller/verity/verity_meta.h"

namespace ql {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

const std::string complete =
    "hashtype=1\ndatablocks=1000\ndatablocksize=4096\nhashblocksize=4096\n"
    "hashalgorithm=sha256\nsalt=aabb\nroothash=ccdd\n";

std::string padded(const std::string& text) {
    std::string area = text;
    area.resize(1024, '\0');
    return area;
}

// The error text and the standard output of a parse that must fail.
std::pair<std::string, std::string> failure(const std::string& meta) {
    testing::internal::CaptureStdout();
    std::string error;
    try {
        parse_verity_meta(meta);
        error = "(parsed)";
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    return {error, testing::internal::GetCapturedStdout()};
}

TEST(Verity_meta_parser, ReadsAWellFormedPaddedBlock) {
    const Verity_meta meta = parse_verity_meta(padded(complete));
    EXPECT_EQ(meta.hashtype, "1");
    EXPECT_EQ(meta.datablocks, "1000");
    EXPECT_EQ(meta.datablocksize, "4096");
    EXPECT_EQ(meta.hashblocksize, "4096");
    EXPECT_EQ(meta.hashalgorithm, "sha256");
    EXPECT_EQ(meta.salt, "aabb");
    EXPECT_EQ(meta.roothash, "ccdd");
}

TEST(Verity_meta_parser, TakesValuesVerbatimAndKeepsTheLastOfARepeatedKey) {
    const Verity_meta meta = parse_verity_meta(
        padded(complete + "salt=eeff\nroothash= 1 2\r\nunknown=ignored\nhashalgorithm=a=b\n"));
    EXPECT_EQ(meta.salt, "eeff");
    EXPECT_EQ(meta.roothash, " 1 2\r");
    EXPECT_EQ(meta.hashalgorithm, "a=b");
}

TEST(Verity_meta_parser, ALineWithoutEqualsSignIsIgnoredUnlessItIsAKeyName) {
    const Verity_meta meta = parse_verity_meta(padded(complete + "no equals sign here\nhashtype\nsalt \n"));
    EXPECT_EQ(meta.hashtype, "hashtype");
    EXPECT_EQ(meta.salt, "aabb");
}

TEST(Verity_meta_parser, AnEmptyLineOrALeadingEqualsSignEndsTheBlock) {
    Verity_meta meta = parse_verity_meta(padded(complete + "\nsalt=later\n"));
    EXPECT_EQ(meta.salt, "aabb");
    meta = parse_verity_meta(padded(complete + "=x\nsalt=later\n"));
    EXPECT_EQ(meta.salt, "aabb");
    // Without NUL padding and without a final line feed.
    meta = parse_verity_meta(complete + "roothash=eeff");
    EXPECT_EQ(meta.roothash, "eeff");
}

TEST(Verity_meta_parser, RejectsAnEmptyValue) {
    for (const std::string& text : {std::string("salt=\n"), std::string("other=\n")}) {
        const auto [error, output] = failure(padded(complete + text));
        EXPECT_THAT(error, StartsWith("Assertion `!value.empty()` failed at verity.cpp:"));
        EXPECT_THAT(output, HasSubstr(") meta data value must not be empty\n"));
    }
}

TEST(Verity_meta_parser, ReportsTheFirstMissingFieldInFixedOrder) {
    // Only hashtype, then an empty line: roothash is reported first.
    auto [error, output] = failure(padded("hashtype=1\n\nroothash=ccdd\n"));
    EXPECT_THAT(error, StartsWith("Assertion `!verity_meta.roothash.empty()` failed at verity.cpp:"));
    EXPECT_THAT(output, HasSubstr(") roothash not set\n"));

    // Dropping fields from the back of the check order: each time the field
    // just dropped is the first one reported, whatever else is missing.
    const char* const order[] = {"roothash",      "salt",       "hashalgorithm", "hashblocksize",
                                 "datablocksize", "datablocks", "hashtype"};
    std::string present = complete;
    for (auto field = std::rbegin(order); field != std::rend(order); ++field) {
        const std::size_t begin = present.find(std::string(*field) + "=");
        ASSERT_NE(begin, std::string::npos);
        present.erase(begin, present.find('\n', begin) - begin + 1);
        std::tie(error, output) = failure(padded(present));
        EXPECT_THAT(error, StartsWith(std::string("Assertion `!verity_meta.") + *field +
                                      ".empty()` failed at verity.cpp:"));
        EXPECT_THAT(output, HasSubstr(std::string(") ") + *field + " not set\n"));
    }
}

}  // namespace
}  // namespace ql
