// The keyed operations of a secret box, with no Python in them: the box's
// bytes are the key, read in place under the box's lock (SecretBox::with_bytes)
// for the cryptography only. Argument copies belong to the caller. Each
// operation reports the box's LockPoisoned, Wiped or ForkedChild before any
// length check of its own, unless stated otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "box/secret_box.hpp"
#include "error/result.hpp"
#include "keyed/mac.hpp"
#include "memory/region.hpp"
#include "memory/zeroize.hpp"

namespace qv {

Result<std::array<std::uint8_t, HMAC_SHA512_BYTES>> box_hmac_sha512(SecretBox& box,
                                                                    std::span<const std::uint8_t> message);

// HKDF-SHA256 with the box as IKM into a new region of `length` bytes. The
// region is allocated before the box is examined (EmptySecret for 0,
// AllocationFailed, LockRequired), and the length limit is checked after the
// box (BadLength "hkdf output length"). On failure the region is released.
Result<LockedRegion> box_hkdf_sha256(SecretBox& box, std::span<const std::uint8_t> salt,
                                     std::span<const std::uint8_t> info, std::uint64_t length);

// `ciphertext ‖ tag` of `plaintext` under the box's key.
Result<std::vector<std::uint8_t>> box_seal(SecretBox& box, std::span<const std::uint8_t> nonce,
                                           std::span<const std::uint8_t> plaintext,
                                           std::span<const std::uint8_t> aad);

// The same into `out` (plaintext.size() + 16 bytes, may start at
// plaintext.data()), for callers that own the destination already.
Status box_seal_into(SecretBox& box, std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> plaintext,
                     std::span<const std::uint8_t> aad, std::span<std::uint8_t> out);

// Seals the bytes of `secret` under `box`. The bytes of `secret` are copied
// out under its own lock first (its errors come first), so the two locks are
// never held together and `secret` may be `box` itself.
Result<std::vector<std::uint8_t>> box_seal_secret(SecretBox& box, std::span<const std::uint8_t> nonce,
                                                  SecretBox& secret, std::span<const std::uint8_t> aad);

// Opens `ciphertext ‖ tag` under the box's key: the shared open path of every
// open method. The plaintext is the caller's, in a ZeroizingBuffer.
Result<ZeroizingBuffer> open_sealed(SecretBox& box, std::span<const std::uint8_t> nonce,
                                    std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad);

// Opens the caller's own copy of `ciphertext ‖ tag` in place: on success the
// plaintext is sealed.first(sealed.size() - 16). On a failed tag the
// plaintext area is zeroed again before returning.
Status open_sealed_in_place(SecretBox& box, std::span<const std::uint8_t> nonce, std::span<std::uint8_t> sealed,
                            std::span<const std::uint8_t> aad);

// Opens `ciphertext ‖ tag` into `out`, which holds exactly
// max(sealed.size() - 16, 0) bytes. On a failed tag `out` is zeroed again
// before returning.
Status open_sealed_into(SecretBox& box, std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> sealed,
                        std::span<const std::uint8_t> aad, std::span<std::uint8_t> out);

// open_sealed, then the plaintext moved into a new region (EmptySecret for an
// empty plaintext). The plaintext buffer is zeroed whatever happens.
Result<LockedRegion> open_sealed_region(SecretBox& box, std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad);

// open_sealed, then the plaintext read as one JSON object whose member
// `field` holds base64url text, decoded into a new region. Failures after
// opening: Malformed "json object", "json field", "base64url", then
// EmptySecret / AllocationFailed / LockRequired. The box's lock is released
// before parsing; the plaintext and decoded bytes are zeroed on every path.
Result<LockedRegion> open_json_field(SecretBox& box, std::span<const std::uint8_t> nonce,
                                     std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad,
                                     std::string_view field);

}  // namespace qv
