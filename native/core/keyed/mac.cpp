#include "keyed/mac.hpp"

#include <algorithm>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include "crypto/evp.hpp"
#include "error/error.hpp"

namespace qv {

namespace {

// An HMAC context with its digest chosen and no key. Each call duplicates it,
// so the digest is resolved once per process instead of by name per call.
// Shared read-only between threads: only EVP_MAC_CTX_dup reads it.
const EVP_MAC_CTX* hmac_template(const char* digest) {
    evp::MacCtx ctx = evp::new_mac_ctx(evp::hmac());
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_MAC_CTX_set_params(ctx.get(), params) != 1) fault("HMAC digest could not be set");
    return ctx.release();
}

const EVP_MAC_CTX* hmac_sha512_template() {
    static const EVP_MAC_CTX* t = hmac_template("SHA2-512");
    return t;
}

const EVP_MAC_CTX* hmac_sha256_template() {
    static const EVP_MAC_CTX* t = hmac_template("SHA2-256");
    return t;
}

// OpenSSL treats a null key as "keep the previous key"; an empty key must be
// passed as a valid pointer with length 0.
const unsigned char* key_ptr(std::span<const std::uint8_t> key) noexcept {
    static const unsigned char empty = 0;
    return key.empty() ? &empty : key.data();
}

evp::MacCtx keyed(const EVP_MAC_CTX* tmpl, std::span<const std::uint8_t> key) {
    evp::MacCtx ctx(EVP_MAC_CTX_dup(tmpl));
    if (!ctx) fault("EVP_MAC_CTX_dup failed");
    if (EVP_MAC_init(ctx.get(), key_ptr(key), key.size(), nullptr) != 1) fault("HMAC init failed");
    return ctx;
}

void update(EVP_MAC_CTX* ctx, std::span<const std::uint8_t> data) {
    if (!data.empty() && EVP_MAC_update(ctx, data.data(), data.size()) != 1) fault("HMAC update failed");
}

void final(EVP_MAC_CTX* ctx, std::uint8_t* out, std::size_t len) {
    std::size_t written = 0;
    if (EVP_MAC_final(ctx, out, &written, len) != 1 || written != len) fault("HMAC final failed");
}

constexpr std::size_t SHA256_BYTES = 32;

// Working bytes cleansed on every way out, faults included.
struct Scratch {
    std::uint8_t bytes[SHA256_BYTES];
    ~Scratch() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

}  // namespace

std::array<std::uint8_t, HMAC_SHA512_BYTES> hmac_sha512(std::span<const std::uint8_t> key,
                                                        std::span<const std::uint8_t> message) {
    evp::MacCtx ctx = keyed(hmac_sha512_template(), key);
    update(ctx.get(), message);
    std::array<std::uint8_t, HMAC_SHA512_BYTES> tag{};
    final(ctx.get(), tag.data(), tag.size());
    return tag;
}

Status hkdf_sha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                   std::span<const std::uint8_t> info, std::span<std::uint8_t> out) {
    if (out.empty() || out.size() > HKDF_SHA256_MAX_OUTPUT) {
        return Error::bad_length("hkdf output length", HKDF_SHA256_MAX_OUTPUT, out.size());
    }

    // RFC 5869 section 2.2: PRK = HMAC-Hash(salt, IKM).
    evp::MacCtx ctx;
    {
        Scratch prk;
        evp::MacCtx extract = keyed(hmac_sha256_template(), salt);
        update(extract.get(), ikm);
        final(extract.get(), prk.bytes, sizeof prk.bytes);
        ctx = keyed(hmac_sha256_template(), prk.bytes);
    }

    // Section 2.3: T(i) = HMAC-Hash(PRK, T(i-1) | info | i), OKM = T(1) | T(2) | ...
    Scratch t;
    std::size_t done = 0;
    for (std::uint8_t i = 1; done < out.size(); ++i) {
        // A null key re-initialises the context with the key it already has.
        if (i > 1 && EVP_MAC_init(ctx.get(), nullptr, 0, nullptr) != 1) fault("HMAC re-init failed");
        if (i > 1) update(ctx.get(), t.bytes);
        update(ctx.get(), info);
        update(ctx.get(), {&i, 1});
        final(ctx.get(), t.bytes, SHA256_BYTES);
        const std::size_t take = std::min(SHA256_BYTES, out.size() - done);
        std::memcpy(out.data() + done, t.bytes, take);
        done += take;
    }
    return {};
}

}  // namespace qv
