// The metadata text rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <random>
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

// Random blocks of lines with key names, odd keys, missing separators, empty
// values and odd bytes: the parser either returns fields that obey the rules
// or raises the assertion error.
TEST(Verity_meta_parser, RandomBlocksEitherParseOrRaiseTheAssertion) {
    const std::string keys[] = {"hashtype",
                                "datablocks",
                                "datablocksize",
                                "hashblocksize",
                                "hashalgorithm",
                                "salt",
                                "roothash",
                                "other",
                                "",
                                "\r",
                                std::string(1, '\0')};
    const std::string values[] = {"1", "ab", " ", "\r", "x=y", "\xff", std::string(2, '\0'), ""};
    std::mt19937 random(20261208);
    auto below = [&random](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    testing::internal::CaptureStdout();
    int parsed = 0;
    int raised = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (std::size_t lines = 5 + below(12); lines > 0; --lines) {
            // Mostly the seven keys, sometimes anything else.
            text += below(10) < 8 ? keys[below(7)] : keys[below(std::size(keys))];
            text += below(20) == 0 ? "" : "=";
            text += below(40) == 0 ? "" : values[below(std::size(values) - 1)];
            text += "\n";
        }
        text.resize(std::max<std::size_t>(text.size(), 1024), '\0');
        try {
            const Verity_meta meta = parse_verity_meta(text);
            ++parsed;
            for (const std::string* field :
                 {&meta.hashtype, &meta.datablocks, &meta.datablocksize, &meta.hashblocksize,
                  &meta.hashalgorithm, &meta.salt, &meta.roothash}) {
                EXPECT_FALSE(field->empty());
                EXPECT_EQ(field->find('\n'), std::string::npos);
            }
        } catch (const std::runtime_error& e) {
            ++raised;
            EXPECT_THAT(e.what(), StartsWith("Assertion `"));
        }
    }
    testing::internal::GetCapturedStdout();
    // Keep the generator honest: both outcomes must occur.
    EXPECT_GT(parsed, 100);
    EXPECT_GT(raised, 100);
}

}  // namespace
}  // namespace ql
