#include "controller/verity/ssl.h"

#include <mbedtls/asn1.h>
#include <mbedtls/error.h>

namespace ql {

void Ssl::mbedtls_pk_init(mbedtls_pk_context* ctx) {
    ::mbedtls_pk_init(ctx);
}

void Ssl::mbedtls_pk_free(mbedtls_pk_context* ctx) {
    ::mbedtls_pk_free(ctx);
}

int Ssl::mbedtls_pk_parse_public_keyfile(mbedtls_pk_context* ctx, const char* path) {
    return ::mbedtls_pk_parse_public_keyfile(ctx, path);
}

int Ssl::mbedtls_pk_can_do(const mbedtls_pk_context* ctx, mbedtls_pk_type_t type) {
    return ::mbedtls_pk_can_do(ctx, type);
}

int Ssl::mbedtls_pk_verify(mbedtls_pk_context* ctx, mbedtls_md_type_t md_alg, const unsigned char* hash,
                           std::size_t hash_len, const unsigned char* sig, std::size_t sig_len) {
    return ::mbedtls_pk_verify(ctx, md_alg, hash, hash_len, sig, sig_len);
}

const mbedtls_md_info_t* Ssl::mbedtls_md_info_from_type(mbedtls_md_type_t md_type) {
    return ::mbedtls_md_info_from_type(md_type);
}

unsigned char Ssl::mbedtls_md_get_size(const mbedtls_md_info_t* md_info) {
    return ::mbedtls_md_get_size(md_info);
}

int Ssl::mbedtls_md(const mbedtls_md_info_t* md_info, const unsigned char* input, std::size_t ilen,
                    unsigned char* output) {
    return ::mbedtls_md(md_info, input, ilen, output);
}

int Ssl::mbedtls_asn1_get_tag(unsigned char** p, const unsigned char* end, std::size_t* len, int tag) {
    return ::mbedtls_asn1_get_tag(p, end, len, tag);
}

void Ssl::mbedtls_strerror(int errnum, char* buffer, std::size_t buflen) {
    ::mbedtls_strerror(errnum, buffer, buflen);
}

}  // namespace ql
