// Part of the verity unit: its assertions name verity.cpp.
#define QL_SOURCE_FILE "verity.cpp"

// The signature check over an image's metadata area.
#include <mbedtls/asn1.h>

#include <cstdint>
#include <string>

#include "controller/log/log.h"
#include "controller/verity/verity.h"

namespace ql {

namespace {

// mbed TLS's description of an error code.
std::string mbedtls_error_text(Ssl& ssl, int error_code) {
    char buffer[512] = {};
    ssl.mbedtls_strerror(error_code, buffer, sizeof(buffer));
    return buffer;
}

// The public-key context, freed on every way out of the signature check.
class Pk_context {
public:
    explicit Pk_context(Ssl& ssl) : m_ssl(ssl) { m_ssl.mbedtls_pk_init(&m_context); }
    ~Pk_context() { m_ssl.mbedtls_pk_free(&m_context); }
    Pk_context(const Pk_context&) = delete;
    Pk_context& operator=(const Pk_context&) = delete;
    mbedtls_pk_context* get() { return &m_context; }

private:
    Ssl& m_ssl;
    mbedtls_pk_context m_context;
};

// How many bytes of the signature area to hand to the verification. An RSA
// signature has the key's length and mbed TLS reports the padding behind it as
// a length mismatch, which is accepted; an ECDSA signature is a DER SEQUENCE of
// varying length and mbed TLS refuses any byte behind it, so only the SEQUENCE
// that its own header describes is verified.
std::size_t signature_length(Ssl& ssl, mbedtls_pk_context* context, const unsigned char* sig,
                             std::size_t sig_size) {
    if (!ssl.mbedtls_pk_can_do(context, MBEDTLS_PK_ECDSA)) {
        return sig_size;
    }
    // mbed TLS only reads through the cursor.
    unsigned char* cursor = const_cast<unsigned char*>(sig);
    std::size_t length = 0;
    if (ssl.mbedtls_asn1_get_tag(&cursor, sig + sig_size, &length,
                                 MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) {
        // Not a SEQUENCE: the verification reports the malformed signature.
        return sig_size;
    }
    return static_cast<std::size_t>(cursor - sig) + length;
}

}  // namespace

void Verity::check_metadata_signature(const char* key_file, const unsigned char* meta, std::int32_t meta_size,
                                      const unsigned char* sig, std::int32_t sig_size) {
    LOG_DEBUG("check metadata signature");
    LOG_DEBUG("open key file: ", key_file);
    // Argument checks without a message of their own.
    QL_CHECK(meta != nullptr, "");
    QL_CHECK(meta_size > 0, "");
    QL_CHECK(sig != nullptr, "");
    QL_CHECK(sig_size > 0, "");

    Pk_context context(*m_ssl);
    QL_CHECK(m_fs->exists(key_file), "could not open key, no such file: ", key_file);
    int error_code = m_ssl->mbedtls_pk_parse_public_keyfile(context.get(), key_file);
    QL_CHECK(error_code == 0, "failed to load key: ", mbedtls_error_text(*m_ssl, error_code));

    const mbedtls_md_info_t* digest = m_ssl->mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    QL_CHECK(digest != nullptr, "");
    unsigned char hash[32] = {};
    QL_CHECK(sizeof(hash) == m_ssl->mbedtls_md_get_size(digest), "");
    error_code = m_ssl->mbedtls_md(digest, meta, static_cast<std::size_t>(meta_size), hash);
    QL_CHECK(error_code == 0, "failed to hash meta data: ", mbedtls_error_text(*m_ssl, error_code));

    const std::size_t sig_length =
        signature_length(*m_ssl, context.get(), sig, static_cast<std::size_t>(sig_size));
    error_code =
        m_ssl->mbedtls_pk_verify(context.get(), MBEDTLS_MD_SHA256, hash, sizeof(hash), sig, sig_length);
    // A valid signature followed by the rest of the signature area.
    if (error_code == MBEDTLS_ERR_PK_SIG_LEN_MISMATCH) {
        error_code = 0;
    }
    QL_CHECK(error_code == 0, "failed to verify signature: ", mbedtls_error_text(*m_ssl, error_code));
    LOG_DEBUG("signature valid");
}

}  // namespace ql
