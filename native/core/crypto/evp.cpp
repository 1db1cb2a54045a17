#include "crypto/evp.hpp"

#include <openssl/err.h>

#include <new>

#include "error/error.hpp"
#include "sync/object_lock.hpp"

namespace qv::evp {

namespace {

template <class T>
T* must(T* p, const char* what) {
    if (p == nullptr) {
        ERR_clear_error();
        fault(what);
    }
    return p;
}

// A context that OpenSSL could not allocate: out of memory, which may be
// met under an object's lock and must not poison it.
template <class T>
T* fresh(T* p) {
    if (p == nullptr) {
        ERR_clear_error();
        note_out_of_memory();
        throw std::bad_alloc();
    }
    return p;
}

}  // namespace

// Function-local statics: initialised once, thread-safe, kept for the process.
EVP_CIPHER* aes256_gcm() {
    static EVP_CIPHER* c = must(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr), "OpenSSL lacks AES-256-GCM");
    return c;
}
EVP_CIPHER* chacha20() {
    static EVP_CIPHER* c = must(EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr), "OpenSSL lacks ChaCha20");
    return c;
}
EVP_MAC* hmac() {
    static EVP_MAC* m = must(EVP_MAC_fetch(nullptr, "HMAC", nullptr), "OpenSSL lacks HMAC");
    return m;
}
EVP_MAC* poly1305() {
    static EVP_MAC* m = must(EVP_MAC_fetch(nullptr, "POLY1305", nullptr), "OpenSSL lacks Poly1305");
    return m;
}
EVP_KDF* hkdf() {
    static EVP_KDF* k = must(EVP_KDF_fetch(nullptr, "HKDF", nullptr), "OpenSSL lacks HKDF");
    return k;
}
EVP_MD* sha256() {
    static EVP_MD* d = must(EVP_MD_fetch(nullptr, "SHA2-256", nullptr), "OpenSSL lacks SHA-256");
    return d;
}
EVP_MD* sha512() {
    static EVP_MD* d = must(EVP_MD_fetch(nullptr, "SHA2-512", nullptr), "OpenSSL lacks SHA-512");
    return d;
}
EVP_MD* sha3_256() {
    static EVP_MD* d = must(EVP_MD_fetch(nullptr, "SHA3-256", nullptr), "OpenSSL lacks SHA3-256");
    return d;
}
EVP_MD* sha3_512() {
    static EVP_MD* d = must(EVP_MD_fetch(nullptr, "SHA3-512", nullptr), "OpenSSL lacks SHA3-512");
    return d;
}
EVP_MD* shake128() {
    static EVP_MD* d = must(EVP_MD_fetch(nullptr, "SHAKE-128", nullptr), "OpenSSL lacks SHAKE128");
    return d;
}
EVP_MD* shake256() {
    static EVP_MD* d = must(EVP_MD_fetch(nullptr, "SHAKE-256", nullptr), "OpenSSL lacks SHAKE256");
    return d;
}

CipherCtx new_cipher_ctx() { return CipherCtx(fresh(EVP_CIPHER_CTX_new())); }
MdCtx new_md_ctx() { return MdCtx(fresh(EVP_MD_CTX_new())); }
MacCtx new_mac_ctx(EVP_MAC* mac) { return MacCtx(fresh(EVP_MAC_CTX_new(mac))); }
KdfCtx new_kdf_ctx(EVP_KDF* kdf) { return KdfCtx(fresh(EVP_KDF_CTX_new(kdf))); }

}  // namespace qv::evp
