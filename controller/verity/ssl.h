// Thin seam over the mbed TLS functions that the signature check uses.
// Each operation forwards to the function of the same name, unchanged.
#pragma once

#include <mbedtls/md.h>
#include <mbedtls/pk.h>

#include <cstddef>

namespace ql {

class Ssl {
public:
    virtual ~Ssl() = default;

    virtual void mbedtls_pk_init(mbedtls_pk_context* ctx);
    virtual void mbedtls_pk_free(mbedtls_pk_context* ctx);
    virtual int mbedtls_pk_parse_public_keyfile(mbedtls_pk_context* ctx, const char* path);
    virtual int mbedtls_pk_can_do(const mbedtls_pk_context* ctx, mbedtls_pk_type_t type);
    virtual int mbedtls_pk_verify(mbedtls_pk_context* ctx, mbedtls_md_type_t md_alg,
                                  const unsigned char* hash, std::size_t hash_len, const unsigned char* sig,
                                  std::size_t sig_len);
    virtual const mbedtls_md_info_t* mbedtls_md_info_from_type(mbedtls_md_type_t md_type);
    virtual unsigned char mbedtls_md_get_size(const mbedtls_md_info_t* md_info);
    virtual int mbedtls_md(const mbedtls_md_info_t* md_info, const unsigned char* input, std::size_t ilen,
                           unsigned char* output);
    virtual int mbedtls_asn1_get_tag(unsigned char** p, const unsigned char* end, std::size_t* len, int tag);
    virtual void mbedtls_strerror(int errnum, char* buffer, std::size_t buflen);
};

}  // namespace ql
