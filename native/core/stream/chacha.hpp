// The three primitives of the secret stream: HChaCha20 (written out here),
// and ChaCha20 and Poly1305 from OpenSSL (RFC 8439), with the algorithm
// objects fetched once per process (crypto/evp.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/evp.hpp"

namespace qv::chacha {

inline constexpr std::size_t KEY_BYTES = 32;
inline constexpr std::size_t NONCE_BYTES = 12;
inline constexpr std::size_t BLOCK_BYTES = 64;
inline constexpr std::size_t HCHACHA_INPUT_BYTES = 16;
inline constexpr std::size_t IV_BYTES = 16;  // OpenSSL's ChaCha20 IV: counter ‖ nonce
inline constexpr std::size_t POLY1305_KEY_BYTES = 32;
inline constexpr std::size_t POLY1305_TAG_BYTES = 16;

// HChaCha20 (draft-irtf-cfrg-xchacha section 2.2): the ChaCha20 state of the
// constants, the key and the 16 input bytes, 20 rounds without the final
// addition, words 0..3 and 12..15 out, little-endian. `out` may be locked
// memory; the working words are zeroed before returning.
void hchacha20(std::uint8_t out[KEY_BYTES], const std::uint8_t key[KEY_BYTES],
               const std::uint8_t input[HCHACHA_INPUT_BYTES]) noexcept;

// Writes OpenSSL's 16-byte ChaCha20 IV: the 32-bit block counter,
// little-endian, followed by the 12-byte nonce (RFC 8439 section 2.3).
void make_iv(std::uint8_t iv[IV_BYTES], std::uint32_t block, const std::uint8_t nonce[NONCE_BYTES]) noexcept;

// One ChaCha20 keystream: start() at a key and IV, then apply() XORs the
// next keystream bytes into the data, block after block. The context wipes
// its key schedule when it is freed.
class ChaCha20 {
public:
    ChaCha20();
    void start(const std::uint8_t key[KEY_BYTES], const std::uint8_t iv[IV_BYTES]);
    // out may equal in. Any length; the keystream position carries over.
    void apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n);

private:
    evp::CipherCtx ctx_;
};

// Poly1305 (RFC 8439 section 2.5) over input of any piece lengths; OpenSSL
// buffers partial 16-byte blocks.
class Poly1305 {
public:
    explicit Poly1305(const std::uint8_t key[POLY1305_KEY_BYTES]);
    void update(const std::uint8_t* data, std::size_t n);
    void finish(std::uint8_t tag[POLY1305_TAG_BYTES]);

private:
    evp::MacCtx ctx_;
};

}  // namespace qv::chacha
