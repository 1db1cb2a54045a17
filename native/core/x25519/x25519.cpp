#include "x25519/x25519.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>

#include "crypto/ct.hpp"
#include "crypto/evp.hpp"
#include "error/error.hpp"
#include "memory/zeroize.hpp"

namespace qv::x25519 {

namespace {

// A clamped copy of a secret that zeroes itself.
struct ClampedScalar {
    std::uint8_t b[KEY_BYTES];
    explicit ClampedScalar(Secret secret) noexcept {
        for (std::size_t i = 0; i < KEY_BYTES; ++i) b[i] = secret[i];
        clamp(b);
    }
    ClampedScalar(const ClampedScalar&) = delete;
    ClampedScalar& operator=(const ClampedScalar&) = delete;
    ~ClampedScalar() { secure_zero(b, sizeof b); }
};

[[noreturn]] void openssl_fault(const char* what) {
    ERR_clear_error();
    fault(what);
}

// One import context per thread, made at first use: fetching the key
// manager for every import costs about as much as the import itself.
EVP_PKEY_CTX* import_ctx() {
    thread_local const evp::PkeyCtx ctx = [] {
        evp::PkeyCtx c(EVP_PKEY_CTX_new_from_name(nullptr, "X25519", nullptr));
        if (!c || EVP_PKEY_fromdata_init(c.get()) != 1) openssl_fault("X25519 key import setup failed");
        return c;
    }();
    return ctx.get();
}

evp::Pkey import(OSSL_PARAM* params, int selection, const char* what) {
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(import_ctx(), &key, selection, params) != 1 || key == nullptr) openssl_fault(what);
    return evp::Pkey(key);
}

evp::Pkey private_key(Secret secret, const std::uint8_t* own_public) {
    ClampedScalar scalar(secret);
    // Without the public key OpenSSL computes it from the secret on import.
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, scalar.b, KEY_BYTES),
        own_public == nullptr ? OSSL_PARAM_construct_end()
                              : OSSL_PARAM_construct_octet_string(
                                    OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(own_public), KEY_BYTES),
        OSSL_PARAM_construct_end(),
    };
    return import(params, EVP_PKEY_KEYPAIR, "X25519 private key import failed");
}

bool derive(EVP_PKEY* own, Public peer, Out shared) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(peer.data()), KEY_BYTES),
        OSSL_PARAM_construct_end(),
    };
    evp::Pkey peer_key = import(params, EVP_PKEY_PUBLIC_KEY, "X25519 public key import failed");
    evp::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer_key.get(), 0) != 1)
        openssl_fault("X25519 derivation setup failed");
    std::size_t len = KEY_BYTES;
    // OpenSSL itself refuses an all-zero result; either way it is reported
    // as a non-contributory exchange.
    const bool derived = EVP_PKEY_derive(ctx.get(), shared.data(), &len) == 1 && len == KEY_BYTES;
    if (!derived) ERR_clear_error();
    std::uint8_t any = 0;
    for (std::uint8_t b : shared) any = static_cast<std::uint8_t>(any | b);
    // Whether the exchange was contributory is public (the caller refuses it).
    const bool contributory = derived && ct::declassify(ct::barrier(any) != 0);
    if (!contributory) secure_zero(shared.data(), KEY_BYTES);
    return contributory;
}

}  // namespace

void clamp(Out scalar) noexcept {
    scalar[0] &= 248;
    scalar[31] &= 127;
    scalar[31] |= 64;
}

void public_key(Secret secret, Out pub) {
    evp::Pkey key = private_key(secret, nullptr);
    std::size_t len = KEY_BYTES;
    if (EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len) != 1 || len != KEY_BYTES)
        openssl_fault("X25519 public key export failed");
}

bool shared_secret(Secret secret, Public peer, Out shared, const std::uint8_t* own_public) {
    evp::Pkey key = private_key(secret, own_public);
    return derive(key.get(), peer, shared);
}

bool ephemeral_exchange(Secret secret, Public peer, Out pub, Out shared) {
    evp::Pkey key = private_key(secret, nullptr);
    std::size_t len = KEY_BYTES;
    if (EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len) != 1 || len != KEY_BYTES)
        openssl_fault("X25519 public key export failed");
    return derive(key.get(), peer, shared);
}

}  // namespace qv::x25519
