// HMAC-SHA512 (RFC 2104, FIPS 180-4) and HKDF-SHA256 (RFC 5869) over raw
// byte spans. Keys are read in place; working state lives on the stack and
// inside OpenSSL contexts that are cleansed when freed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error/result.hpp"

namespace qv {

inline constexpr std::size_t HMAC_SHA512_BYTES = 64;
inline constexpr std::size_t HKDF_SHA256_MAX_OUTPUT = 255 * 32;  // RFC 5869 section 2.3: L <= 255*HashLen

// The full 64-byte tag. Any key length, the empty key included; a key longer
// than the 128-byte block is hashed first (RFC 2104 section 2).
std::array<std::uint8_t, HMAC_SHA512_BYTES> hmac_sha512(std::span<const std::uint8_t> key,
                                                        std::span<const std::uint8_t> message);

// HKDF-SHA256 extract-then-expand with `ikm`, writing exactly out.size()
// bytes straight into `out` (each expansion block is copied there once).
// An empty salt is the RFC's default salt of 32 zero bytes (the same HMAC
// key). BadLength("hkdf output length", 8160, out.size()) when `out` is empty
// or longer than 8160 bytes; nothing is written then.
Status hkdf_sha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                   std::span<const std::uint8_t> info, std::span<std::uint8_t> out);

}  // namespace qv
