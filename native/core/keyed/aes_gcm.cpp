#include "keyed/aes_gcm.hpp"

#include <algorithm>
#include <memory>

#include <openssl/evp.h>

#include "crypto/evp.hpp"
#include "error/error.hpp"
#include "sync/object_lock.hpp"

namespace qv {

namespace {

// EVP lengths are ints: feed larger inputs in pieces.
constexpr std::size_t CHUNK = std::size_t{1} << 30;

Status check_lengths(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    if (key.size() != AES_GCM_KEY_BYTES) return Error::bad_length("aes-gcm key", AES_GCM_KEY_BYTES, key.size());
    if (nonce.size() != AES_GCM_NONCE_BYTES) {
        return Error::bad_length("aes-gcm nonce", AES_GCM_NONCE_BYTES, nonce.size());
    }
    return {};
}

// Feeds AAD (out == nullptr) or data through the cipher.
bool feed(EVP_CIPHER_CTX* ctx, bool encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t len) {
    for (std::size_t at = 0; at < len; at += CHUNK) {
        const int n = static_cast<int>(std::min(CHUNK, len - at));
        int written = 0;
        const int ok = encrypt ? EVP_EncryptUpdate(ctx, out ? out + at : nullptr, &written, in + at, n)
                               : EVP_DecryptUpdate(ctx, out ? out + at : nullptr, &written, in + at, n);
        if (ok != 1) return false;
    }
    return true;
}

// The 96-bit nonce is OpenSSL's default GCM IV length, so J0 = nonce ‖ 0^31 ‖ 1
// (SP 800-38D section 7.1, step 2).
evp::CipherCtx start(bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    evp::CipherCtx ctx = evp::new_cipher_ctx();
    const int ok = encrypt ? EVP_EncryptInit_ex2(ctx.get(), evp::aes256_gcm(), key.data(), nonce.data(), nullptr)
                           : EVP_DecryptInit_ex2(ctx.get(), evp::aes256_gcm(), key.data(), nonce.data(), nullptr);
    if (ok != 1) return nullptr;
    return ctx;
}

}  // namespace

Status aes256gcm_seal_into(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad,
                           std::span<std::uint8_t> out) {
    QV_CHECK(check_lengths(key, nonce));
    if (plaintext.size() > AES_GCM_MAX_PLAINTEXT || aad.size() > AES_GCM_MAX_AAD) return ErrorKind::OpenFailed;
    if (out.size() != plaintext.size() + AES_GCM_TAG_BYTES) fault("aes-gcm seal output has the wrong size");

    // The context (and the key schedule in it) is cleansed when it is freed.
    evp::CipherCtx ctx = start(true, key, nonce);
    if (!ctx) return ErrorKind::OpenFailed;
    int written = 0;
    std::uint8_t* const tag = out.data() + plaintext.size();
    if (!feed(ctx.get(), true, aad.data(), nullptr, aad.size()) ||
        !feed(ctx.get(), true, plaintext.data(), out.data(), plaintext.size()) ||
        EVP_EncryptFinal_ex(ctx.get(), tag, &written) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, AES_GCM_TAG_BYTES, tag) != 1) {
        return ErrorKind::OpenFailed;
    }
    return {};
}

Result<std::vector<std::uint8_t>> aes256gcm_seal(std::span<const std::uint8_t> key,
                                                 std::span<const std::uint8_t> nonce,
                                                 std::span<const std::uint8_t> plaintext,
                                                 std::span<const std::uint8_t> aad) {
    QV_CHECK(check_lengths(key, nonce));
    if (plaintext.size() > AES_GCM_MAX_PLAINTEXT || aad.size() > AES_GCM_MAX_AAD) return ErrorKind::OpenFailed;
    // Callers may hold an object's lock: running out of memory here must not poison it.
    auto out = allocating([&] { return std::vector<std::uint8_t>(plaintext.size() + AES_GCM_TAG_BYTES); });
    QV_CHECK(aes256gcm_seal_into(key, nonce, plaintext, aad, out));
    return out;
}

Status aes256gcm_open_into(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad,
                           std::span<std::uint8_t> out) {
    QV_CHECK(check_lengths(key, nonce));
    if (sealed.size() < AES_GCM_TAG_BYTES) return ErrorKind::OpenFailed;
    if (sealed.size() > AES_GCM_MAX_SEALED || aad.size() > AES_GCM_MAX_AAD) return ErrorKind::OpenFailed;
    const std::size_t len = sealed.size() - AES_GCM_TAG_BYTES;
    if (out.size() != len) fault("aes-gcm open output has the wrong size");

    // OpenSSL computes GHASH over the ciphertext while it decrypts, so the
    // plaintext is produced into `out` (the caller's private buffer) and held
    // back until the tag has verified; any failure wipes it. The tag is
    // copied out because OpenSSL takes it through a mutable pointer.
    std::uint8_t expected[AES_GCM_TAG_BYTES];
    std::copy_n(sealed.data() + len, AES_GCM_TAG_BYTES, expected);
    evp::CipherCtx ctx = start(false, key, nonce);
    int written = 0;
    // EVP_DecryptFinal_ex compares the whole tag with CRYPTO_memcmp, whose
    // time does not depend on where the first difference is.
    const bool ok = ctx && feed(ctx.get(), false, aad.data(), nullptr, aad.size()) &&
                    feed(ctx.get(), false, sealed.data(), out.data(), len) &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, AES_GCM_TAG_BYTES, expected) == 1 &&
                    EVP_DecryptFinal_ex(ctx.get(), out.data() + len, &written) == 1;
    if (!ok) {
        secure_zero(out.data(), out.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

Result<ZeroizingBuffer> aes256gcm_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                       std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad) {
    QV_CHECK(check_lengths(key, nonce));
    if (sealed.size() < AES_GCM_TAG_BYTES) return ErrorKind::OpenFailed;
    ZeroizingBuffer plaintext = allocating([&] { return ZeroizingBuffer(sealed.size() - AES_GCM_TAG_BYTES); });
    QV_CHECK(aes256gcm_open_into(key, nonce, sealed, aad, plaintext.span()));
    return plaintext;
}

}  // namespace qv
