// OpenSSL algorithm objects, each fetched once per process and kept, and
// RAII owners for the per-call OpenSSL contexts. Passing a fetched object to
// OpenSSL avoids the implicit fetch (a lock and a hash lookup) on every call.
#pragma once

#include <memory>

#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace qv::evp {

// A missing algorithm is an internal fault (the OpenSSL build lacks it).
EVP_CIPHER* aes256_gcm();
EVP_CIPHER* chacha20();
EVP_MAC* hmac();
EVP_MAC* poly1305();
EVP_KDF* hkdf();
EVP_MD* sha256();
EVP_MD* sha512();
EVP_MD* sha3_256();
EVP_MD* sha3_512();
EVP_MD* shake128();
EVP_MD* shake256();

struct CipherCtxFree { void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); } };
struct MdCtxFree { void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); } };
struct MacCtxFree { void operator()(EVP_MAC_CTX* p) const noexcept { EVP_MAC_CTX_free(p); } };
struct KdfCtxFree { void operator()(EVP_KDF_CTX* p) const noexcept { EVP_KDF_CTX_free(p); } };
struct PkeyFree { void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); } };

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// New contexts; allocation failure is an internal fault.
CipherCtx new_cipher_ctx();
MdCtx new_md_ctx();
MacCtx new_mac_ctx(EVP_MAC* mac);
KdfCtx new_kdf_ctx(EVP_KDF* kdf);

}  // namespace qv::evp
