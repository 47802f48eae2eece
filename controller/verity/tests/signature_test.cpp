// The metadata signature check against keys made with openssl for this run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mbedtls/ecp.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/verity/verity.h"

namespace ql {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::StartsWith;

using Bytes = std::vector<unsigned char>;

void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
}

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string mbedtls_text(int code) {
    char buffer[512] = {};
    mbedtls_strerror(code, buffer, sizeof(buffer));
    return buffer;
}

// A metadata area as images carry it: seven lines and NUL padding to 1024.
Bytes metadata_area() {
    const std::string text =
        "hashtype=1\ndatablocks=1000\ndatablocksize=4096\nhashblocksize=4096\n"
        "hashalgorithm=sha256\n"
        "salt=8f3a5c1e22d4b6a09f7e3c5d1b2a4968e0f1d2c3b4a59687a8b9c0d1e2f30415\n"
        "roothash=0c1d2e3f405162738495a6b7c8d9eaf00112233445566778899aabbccddeeff0\n";
    Bytes area(1024, 0);
    std::copy(text.begin(), text.end(), area.begin());
    return area;
}

struct Key {
    std::string name;     // file stem
    std::string genpkey;  // openssl genpkey algorithm options
    bool ec;
};

const std::vector<Key>& keys() {
    static const std::vector<Key> all = {
        {"rsa2048", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048", false},
        {"rsa3072", "-algorithm RSA -pkeyopt rsa_keygen_bits:3072", false},
        {"rsa4096", "-algorithm RSA -pkeyopt rsa_keygen_bits:4096", false},
        {"ecp256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256", true},
    };
    return all;
}

// What one check did: the exception text (empty when it completed) and the
// standard output it wrote.
struct Outcome {
    std::string error;
    std::string output;
};

class Signature_test : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("verity_signature_test." + std::to_string(getpid()));
        fs::create_directories(dir);
        write_file(dir / "meta", metadata_area());
    }
    static void TearDownTestSuite() {
        fs::remove_all(dir);
        made.clear();
    }

    // Makes the key pair and its signature of the metadata on first use (RSA
    // 4096 takes seconds to make).
    static void make(const Key& key) {
        if (!made.insert(key.name).second) {
            return;
        }
        const std::string stem = (dir / key.name).string();
        run("openssl genpkey " + key.genpkey + " -out " + stem + ".key");
        run("openssl pkey -in " + stem + ".key -pubout -out " + stem + ".pem");
        run("openssl pkey -in " + stem + ".key -pubout -outform DER -out " + stem + ".der");
        run("openssl dgst -sha256 -sign " + stem + ".key -out " + stem + ".sig " + (dir / "meta").string());
    }

    static std::string key_path(const Key& key, const char* format) {
        make(key);
        return (dir / (key.name + "." + format)).string();
    }
    static Bytes signature(const Key& key) {
        make(key);
        return read_file(dir / (key.name + ".sig"));
    }
    // The signature area of an image: the signature, then NUL bytes.
    static Bytes signature_area(const Key& key) {
        Bytes area = signature(key);
        area.resize(3072, 0);
        return area;
    }

    Outcome check(const std::string& key_file, const Bytes& meta, const Bytes& sig) {
        Outcome outcome;
        testing::internal::CaptureStdout();
        try {
            verity.check_metadata_signature(key_file.c_str(), meta.data(),
                                            static_cast<std::int32_t>(meta.size()), sig.data(),
                                            static_cast<std::int32_t>(sig.size()));
        } catch (const std::runtime_error& e) {
            outcome.error = e.what();
        }
        outcome.output = testing::internal::GetCapturedStdout();
        return outcome;
    }

    static inline fs::path dir;
    static inline std::set<std::string> made;
    Verity verity{"base-rootfs", "/nonexistent/image"};
};

TEST_F(Signature_test, AcceptsEveryKeyInPemAndDerWithAndWithoutPadding) {
    for (const Key& key : keys()) {
        for (const char* format : {"pem", "der"}) {
            SCOPED_TRACE(key.name + "." + format);
            const Outcome padded = check(key_path(key, format), metadata_area(), signature_area(key));
            EXPECT_EQ(padded.error, "");
            EXPECT_EQ(padded.output, "");
            const Outcome exact = check(key_path(key, format), metadata_area(), signature(key));
            EXPECT_EQ(exact.error, "");
        }
    }
}

// The verification failure as mbed TLS words it for a wrong signature.
std::string wrong_signature_text(const Key& key) {
    return key.ec ? mbedtls_text(MBEDTLS_ERR_ECP_VERIFY_FAILED) : mbedtls_text(MBEDTLS_ERR_RSA_VERIFY_FAILED);
}

void expect_rejected(const Outcome& outcome) {
    EXPECT_THAT(outcome.error, StartsWith("Assertion `error_code == 0` failed at verity.cpp:"));
    EXPECT_THAT(outcome.output, HasSubstr(") failed to verify signature: "));
}

TEST_F(Signature_test, RejectsAnyFlippedMetadataByte) {
    for (const Key& key : keys()) {
        SCOPED_TRACE(key.name);
        // Every byte for the smallest RSA key, a spread of bytes (text, padding
        // and the last byte included) for the others.
        const std::size_t step = key.name == "rsa2048" ? 1 : key.ec ? 7 : 61;
        std::vector<std::size_t> positions;
        for (std::size_t at = 0; at < 1024; at += step) {
            positions.push_back(at);
        }
        positions.push_back(1023);
        const Bytes sig = signature_area(key);
        for (const std::size_t at : positions) {
            Bytes meta = metadata_area();
            meta[at] ^= 0x01;
            const Outcome outcome = check(key_path(key, "pem"), meta, sig);
            expect_rejected(outcome);
            EXPECT_THAT(outcome.output, HasSubstr("failed to verify signature: " + wrong_signature_text(key)))
                << "byte " << at;
            if (testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

TEST_F(Signature_test, RejectsAnyFlippedSignatureByte) {
    for (const Key& key : keys()) {
        SCOPED_TRACE(key.name);
        const std::size_t length = signature(key).size();
        for (std::size_t index = 0; index < length; ++index) {
            Bytes sig = signature_area(key);
            sig[index] ^= 0x80;
            const Outcome outcome = check(key_path(key, "der"), metadata_area(), sig);
            expect_rejected(outcome);
            // The text after the prefix is mbed TLS's own description.
            const std::size_t text = outcome.output.find("failed to verify signature: ");
            ASSERT_NE(text, std::string::npos) << "byte " << index;
            EXPECT_GT(outcome.output.size(), text + 30) << "byte " << index;
            if (testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

TEST_F(Signature_test, RejectsASignatureOfAnotherKey) {
    const Outcome outcome = check(key_path(keys()[0], "pem"), metadata_area(), signature_area(keys()[1]));
    expect_rejected(outcome);
    // The EC key gets an RSA signature that is no DER SEQUENCE at all.
    expect_rejected(check(key_path(keys()[3], "pem"), metadata_area(), signature_area(keys()[0])));
    // And an RSA key the EC signature, shorter than the key.
    expect_rejected(check(key_path(keys()[0], "pem"), metadata_area(), signature(keys()[3])));
}

TEST_F(Signature_test, RejectsAMissingKeyFile) {
    const std::string missing = (dir / "no-such-key.pem").string();
    const Outcome outcome = check(missing, metadata_area(), signature_area(keys()[0]));
    EXPECT_THAT(outcome.error, StartsWith("Assertion `m_fs->exists(key_file)` failed at verity.cpp:"));
    EXPECT_THAT(outcome.output, HasSubstr(") could not open key, no such file: " + missing + "\n"));
}

TEST_F(Signature_test, RejectsAnUnparsableKey) {
    const fs::path garbage = dir / "garbage.pem";
    write_file(garbage, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'k', 'e', 'y', '\n'});
    const Outcome outcome = check(garbage.string(), metadata_area(), signature_area(keys()[0]));
    EXPECT_THAT(outcome.error, StartsWith("Assertion `error_code == 0` failed at verity.cpp:"));
    const std::size_t text = outcome.output.find(") failed to load key: ");
    ASSERT_NE(text, std::string::npos) << outcome.output;
    EXPECT_THAT(outcome.output, HasSubstr(" - "));  // mbed TLS's "<module> - <text>"
}

TEST_F(Signature_test, ChecksItsArgumentsInOrderWithoutALogLine) {
    const Bytes meta = metadata_area();
    const Bytes sig = signature_area(keys()[0]);
    const std::string key = key_path(keys()[0], "pem");
    struct Case {
        const unsigned char* meta;
        std::int32_t meta_size;
        const unsigned char* sig;
        std::int32_t sig_size;
        const char* expression;
    };
    const Case cases[] = {
        {nullptr, 0, nullptr, 0, "meta != nullptr"},
        {meta.data(), 0, nullptr, 0, "meta_size > 0"},
        {meta.data(), -1, sig.data(), 3072, "meta_size > 0"},
        {meta.data(), 1024, nullptr, 3072, "sig != nullptr"},
        {meta.data(), 1024, sig.data(), 0, "sig_size > 0"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        std::string error;
        try {
            verity.check_metadata_signature(key.c_str(), c.meta, c.meta_size, c.sig, c.sig_size);
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_THAT(error, StartsWith(std::string("Assertion `") + c.expression + "` failed at verity.cpp:"));
        EXPECT_EQ(output, "");
    }
}

// Forwards to mbed TLS, counts the key contexts and can make one call fail.
class Counting_ssl : public Ssl {
public:
    void mbedtls_pk_init(mbedtls_pk_context* ctx) override {
        ++inits;
        Ssl::mbedtls_pk_init(ctx);
    }
    void mbedtls_pk_free(mbedtls_pk_context* ctx) override {
        ++frees;
        Ssl::mbedtls_pk_free(ctx);
    }
    const mbedtls_md_info_t* mbedtls_md_info_from_type(mbedtls_md_type_t type) override {
        return no_digest ? nullptr : Ssl::mbedtls_md_info_from_type(type);
    }
    unsigned char mbedtls_md_get_size(const mbedtls_md_info_t* info) override {
        return wrong_size ? 20 : Ssl::mbedtls_md_get_size(info);
    }
    int mbedtls_md(const mbedtls_md_info_t* info, const unsigned char* input, std::size_t ilen,
                   unsigned char* output) override {
        return md_error != 0 ? md_error : Ssl::mbedtls_md(info, input, ilen, output);
    }

    int inits = 0;
    int frees = 0;
    bool no_digest = false;
    bool wrong_size = false;
    int md_error = 0;
};

TEST_F(Signature_test, FreesTheKeyContextOnEveryWayOut) {
    auto owned = std::make_unique<Counting_ssl>();
    Counting_ssl& ssl = *owned;
    Verity counted("base-rootfs", "/nonexistent/image", std::move(owned));
    const Bytes meta = metadata_area();
    const Key& key = keys()[0];

    auto attempt = [&](const std::string& key_file, const Bytes& sig) {
        testing::internal::CaptureStdout();
        std::string error;
        try {
            counted.check_metadata_signature(key_file.c_str(), meta.data(), 1024, sig.data(),
                                             static_cast<std::int32_t>(sig.size()));
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        return std::make_pair(error, testing::internal::GetCapturedStdout());
    };

    EXPECT_EQ(attempt(key_path(key, "pem"), signature_area(key)).first, "");
    EXPECT_NE(attempt((dir / "missing").string(), signature_area(key)).first, "");
    EXPECT_NE(attempt(key_path(key, "pem"), Bytes(3072, 0)).first, "");

    ssl.no_digest = true;
    EXPECT_THAT(attempt(key_path(key, "pem"), signature_area(key)).first,
                StartsWith("Assertion `digest != nullptr` failed at verity.cpp:"));
    ssl.no_digest = false;

    ssl.wrong_size = true;
    EXPECT_THAT(
        attempt(key_path(key, "pem"), signature_area(key)).first,
        StartsWith("Assertion `sizeof(hash) == m_ssl->mbedtls_md_get_size(digest)` failed at verity.cpp:"));
    ssl.wrong_size = false;

    ssl.md_error = MBEDTLS_ERR_MD_BAD_INPUT_DATA;
    const auto hashed = attempt(key_path(key, "pem"), signature_area(key));
    EXPECT_THAT(hashed.first, StartsWith("Assertion `error_code == 0` failed at verity.cpp:"));
    EXPECT_THAT(hashed.second,
                HasSubstr("failed to hash meta data: " + mbedtls_text(MBEDTLS_ERR_MD_BAD_INPUT_DATA)));
    ssl.md_error = 0;

    EXPECT_EQ(ssl.inits, 6);
    EXPECT_EQ(ssl.frees, ssl.inits);
}

}  // namespace
}  // namespace ql
