// X25519 (RFC 7748) through OpenSSL's raw-key EVP interface.
//
// Secrets are used exactly as stored: each function clamps a private copy
// (decodeScalar25519, RFC 7748 section 5) and zeroes it before returning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv::x25519 {

inline constexpr std::size_t KEY_BYTES = 32;

using Secret = std::span<const std::uint8_t, KEY_BYTES>;
using Public = std::span<const std::uint8_t, KEY_BYTES>;
using Out = std::span<std::uint8_t, KEY_BYTES>;

// Clears bits 0-2 of byte 0 and bit 7 of byte 31, sets bit 6 of byte 31.
void clamp(Out scalar) noexcept;

// u(clamp(secret) · 9), little-endian. Every 32-byte secret is accepted.
void public_key(Secret secret, Out pub);

// X25519(clamp(secret), peer) into `shared`. Returns false, with `shared`
// zeroed, when the result is all zero: a small-order peer key makes the
// exchange non-contributory (RFC 7748 section 6.1). `own_public`, when the
// caller already knows u(clamp(secret) · 9), is handed to OpenSSL with the
// secret so that it does not spend a scalar multiplication recomputing it.
bool shared_secret(Secret secret, Public peer, Out shared, const std::uint8_t* own_public = nullptr);

// The sender's half of an ephemeral exchange: `pub` = u(clamp(secret) · 9)
// and `shared` as shared_secret() gives it, from one imported key.
bool ephemeral_exchange(Secret secret, Public peer, Out pub, Out shared);

}  // namespace qv::x25519
