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

evp::Pkey private_key(Secret secret, const std::uint8_t* own_public) {
    ClampedScalar scalar(secret);
    EVP_PKEY* key = nullptr;
    if (own_public == nullptr) {
        // Importing the secret alone makes OpenSSL compute the public key.
        key = EVP_PKEY_new_raw_private_key_ex(nullptr, "X25519", nullptr, scalar.b, KEY_BYTES);
    } else {
        evp::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "X25519", nullptr));
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, scalar.b, KEY_BYTES),
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(own_public),
                                              KEY_BYTES),
            OSSL_PARAM_construct_end(),
        };
        if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
            EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params) != 1)
            key = nullptr;
    }
    if (key == nullptr) openssl_fault("X25519 private key import failed");
    return evp::Pkey(key);
}

bool derive(EVP_PKEY* own, Public peer, Out shared) {
    evp::Pkey peer_key(EVP_PKEY_new_raw_public_key_ex(nullptr, "X25519", nullptr, peer.data(), KEY_BYTES));
    if (!peer_key) openssl_fault("X25519 public key import failed");
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
    const bool contributory = derived && ct::barrier(any) != 0;
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
