// AES-256-GCM (NIST SP 800-38D) with a 96-bit nonce and the full 128-bit
// tag, in the sealed layout `ciphertext ‖ tag`. The nonce and the AAD are not
// part of the layout. Every failure of the cipher, either way, is OpenFailed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/result.hpp"
#include "memory/zeroize.hpp"

namespace qv {

inline constexpr std::size_t AES_GCM_KEY_BYTES = 32;
inline constexpr std::size_t AES_GCM_NONCE_BYTES = 12;
inline constexpr std::size_t AES_GCM_TAG_BYTES = 16;
// SP 800-38D section 5.2.1.1: plaintext up to 2^39 - 256 bits, AAD below 2^64 bits.
inline constexpr std::uint64_t AES_GCM_MAX_PLAINTEXT = (1ULL << 36) - 32;
inline constexpr std::uint64_t AES_GCM_MAX_SEALED = AES_GCM_MAX_PLAINTEXT + AES_GCM_TAG_BYTES;
inline constexpr std::uint64_t AES_GCM_MAX_AAD = (1ULL << 61) - 1;

// Checks, in order: key length (BadLength "aes-gcm key", 32), nonce length
// (BadLength "aes-gcm nonce", 12), the plaintext and AAD limits (OpenFailed).
// Then writes `ciphertext ‖ tag` into `out`, which must hold exactly
// plaintext.size() + 16 bytes and may start at plaintext.data() (in place).
Status aes256gcm_seal_into(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad,
                           std::span<std::uint8_t> out);

// The same, into a new buffer of plaintext.size() + 16 bytes. The output is
// public and lives in ordinary memory.
Result<std::vector<std::uint8_t>> aes256gcm_seal(std::span<const std::uint8_t> key,
                                                 std::span<const std::uint8_t> nonce,
                                                 std::span<const std::uint8_t> plaintext,
                                                 std::span<const std::uint8_t> aad);

// Checks, in order: key length, nonce length (as sealing), `sealed` shorter
// than the tag (OpenFailed, before any cipher work), the sealed and AAD limits
// (OpenFailed). Then decrypts into `out`, which must hold exactly
// sealed.size() - 16 bytes and may start at sealed.data() (in place), and
// verifies the tag with a comparison that does not stop at the first
// difference. On any failure `out` is zeroed before returning: plaintext is
// released only after the whole tag has verified.
Status aes256gcm_open_into(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad,
                           std::span<std::uint8_t> out);

// The same, into a new ZeroizingBuffer of sealed.size() - 16 bytes.
Result<ZeroizingBuffer> aes256gcm_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                       std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad);

}  // namespace qv
