#include "stream/chacha.hpp"

#include <climits>
#include <cstring>

#include <openssl/err.h>

#include "error/error.hpp"
#include "memory/zeroize.hpp"

namespace qv::chacha {

namespace {

std::uint32_t load32_le(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store32_le(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

constexpr std::uint32_t rotl(std::uint32_t v, int c) noexcept { return (v << c) | (v >> (32 - c)); }

// RFC 8439 section 2.1.
inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) noexcept {
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
}

[[noreturn]] void openssl_fault(const char* what) {
    ERR_clear_error();
    fault(what);
}

// EVP takes int lengths; feed longer data in pieces.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

}  // namespace

void hchacha20(std::uint8_t out[KEY_BYTES], const std::uint8_t key[KEY_BYTES],
               const std::uint8_t input[HCHACHA_INPUT_BYTES]) noexcept {
    std::uint32_t x[16];
    // "expand 32-byte k"
    x[0] = 0x61707865U;
    x[1] = 0x3320646eU;
    x[2] = 0x79622d32U;
    x[3] = 0x6b206574U;
    for (int i = 0; i < 8; ++i) x[4 + i] = load32_le(key + 4 * i);
    for (int i = 0; i < 4; ++i) x[12 + i] = load32_le(input + 4 * i);
    for (int round = 0; round < 10; ++round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 4; ++i) store32_le(out + 4 * i, x[i]);
    for (int i = 0; i < 4; ++i) store32_le(out + 16 + 4 * i, x[12 + i]);
    secure_zero(x, sizeof x);
}

void make_iv(std::uint8_t iv[IV_BYTES], std::uint32_t block, const std::uint8_t nonce[NONCE_BYTES]) noexcept {
    store32_le(iv, block);
    std::memcpy(iv + 4, nonce, NONCE_BYTES);
}

ChaCha20::ChaCha20() : ctx_(evp::new_cipher_ctx()) {}

void ChaCha20::start(const std::uint8_t key[KEY_BYTES], const std::uint8_t iv[IV_BYTES]) {
    if (EVP_EncryptInit_ex2(ctx_.get(), evp::chacha20(), key, iv, nullptr) != 1)
        openssl_fault("ChaCha20 initialisation failed");
}

void ChaCha20::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    while (n > 0) {
        const std::size_t piece = n < kMaxPiece ? n : kMaxPiece;
        int written = 0;
        if (EVP_EncryptUpdate(ctx_.get(), out, &written, in, static_cast<int>(piece)) != 1 ||
            static_cast<std::size_t>(written) != piece)
            openssl_fault("ChaCha20 encryption failed");
        in += piece;
        out += piece;
        n -= piece;
    }
}

Poly1305::Poly1305(const std::uint8_t key[POLY1305_KEY_BYTES]) : ctx_(evp::new_mac_ctx(evp::poly1305())) {
    if (EVP_MAC_init(ctx_.get(), key, POLY1305_KEY_BYTES, nullptr) != 1)
        openssl_fault("Poly1305 initialisation failed");
}

void Poly1305::update(const std::uint8_t* data, std::size_t n) {
    if (n != 0 && EVP_MAC_update(ctx_.get(), data, n) != 1) openssl_fault("Poly1305 update failed");
}

void Poly1305::finish(std::uint8_t tag[POLY1305_TAG_BYTES]) {
    std::size_t len = 0;
    if (EVP_MAC_final(ctx_.get(), tag, &len, POLY1305_TAG_BYTES) != 1 || len != POLY1305_TAG_BYTES)
        openssl_fault("Poly1305 finalisation failed");
}

}  // namespace qv::chacha
