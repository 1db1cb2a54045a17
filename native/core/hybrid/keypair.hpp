// The native state of a hybrid identity: one X25519 and one ML-KEM-768 key
// pair. Both secrets live in locked regions behind the identity's one lock;
// the public halves (and the ML-KEM matrix Â, expanded once) sit in
// ordinary memory.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "box/secret_box.hpp"
#include "error/result.hpp"
#include "memory/region.hpp"
#include "memory/zeroize.hpp"
#include "mlkem/mlkem.hpp"
#include "sync/object_lock.hpp"
#include "x25519/x25519.hpp"

namespace qv::hybrid {

inline constexpr std::size_t X25519_SECRET_BYTES = x25519::KEY_BYTES;
inline constexpr std::size_t X25519_PUBLIC_BYTES = x25519::KEY_BYTES;
inline constexpr std::size_t MLKEM768_SECRET_BYTES = mlkem::SECRET_KEY_BYTES;
inline constexpr std::size_t MLKEM768_PUBLIC_BYTES = mlkem::PUBLIC_KEY_BYTES;

// What the identity builder produces; becomes a HybridKeyPair.
struct IdentityParts {
    std::unique_ptr<const mlkem::EncapsulationKey> mlkem_public;
    LockedRegion x25519_secret;
    LockedRegion mlkem_secret;
    std::array<std::uint8_t, X25519_PUBLIC_BYTES> x25519_public;
};

// The one builder behind generate and from_secrets, checks in this order:
// BadLength "x25519 secret key" (32); BadLength "ml-kem-768 secret key"
// (2400); the X25519 public key recomputed from s; the ML-KEM modulus and
// hash checks on dk (InvalidKey); then the two regions (AllocationFailed,
// LockRequired; the first is released if the second fails). `prepared`, when
// it is dk's embedded key, saves expanding Â a second time.
Result<IdentityParts> build_identity(std::span<const std::uint8_t> s, std::span<const std::uint8_t> dk,
                                     const mlkem::EncapsulationKey* prepared = nullptr);

// Draws s, d and z (32 bytes each, in that order) and builds from
// KeyGen_internal(d, z). A failing random source is an internal fault.
Result<IdentityParts> generate_identity();

// Copies each box's bytes out under that box's lock (one after the other),
// then builds. Wiped, ForkedChild, LockPoisoned from the boxes come first.
Result<IdentityParts> identity_from_secrets(SecretBox& x25519_secret, SecretBox& mlkem768_secret);

// The state of one identity. Every member takes the lock; a poisoned lock
// answers LockPoisoned.
class HybridKeyPair {
public:
    explicit HybridKeyPair(IdentityParts parts) noexcept;
    HybridKeyPair(const HybridKeyPair&) = delete;
    HybridKeyPair& operator=(const HybridKeyPair&) = delete;

    // The publics are fixed for the object's life, so the views stay valid
    // after the lock is released; they keep working after wipe().
    Result<std::span<const std::uint8_t, X25519_PUBLIC_BYTES>> x25519_public();
    Result<std::span<const std::uint8_t, MLKEM768_PUBLIC_BYTES>> mlkem768_public();

    // Locked copies for persisting (Wiped, ForkedChild, allocation errors).
    Result<LockedRegion> x25519_secret();
    Result<LockedRegion> mlkem768_secret();

    Status wipe();
    Result<bool> is_wiped();

    // hybrid_open: the plaintext of a hybrid seal, or the first error in the
    // order LockPoisoned, BadLength "encapsulation", Wiped/ForkedChild,
    // OpenFailed (small-order ephemeral key), InvalidKey (stored ML-KEM
    // secret), BadLength "aes-gcm nonce", OpenFailed. The lock is held
    // throughout.
    Result<ZeroizingBuffer> open(std::span<const std::uint8_t> encapsulation, std::span<const std::uint8_t> nonce,
                                 std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> aad);

    ObjectLock& lock() noexcept { return lock_; }

private:
    ObjectLock lock_;
    std::unique_ptr<const mlkem::EncapsulationKey> mlkem_public_;
    LockedRegion x25519_secret_;
    LockedRegion mlkem_secret_;
    std::array<std::uint8_t, X25519_PUBLIC_BYTES> x25519_public_;
};

}  // namespace qv::hybrid
