// The entropy pool: every 32-byte output block is
//   SHA-256(32 fresh OS bytes ‖ seed ‖ counter as u64 big-endian)   (FIPS 180-4)
// with the seed and the counter kept in one 40-byte locked region behind
// the pool's own lock. Public outputs go to ordinary memory, secret ones
// straight into a new locked region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/result.hpp"
#include "memory/region.hpp"
#include "sync/object_lock.hpp"

namespace qv::entropy {

inline constexpr std::size_t STATE_BYTES = 40;  // seed(32) ‖ counter (u64 BE)
inline constexpr std::size_t SEED_BYTES = 32;
inline constexpr std::size_t BLOCK_BYTES = 32;
// random(n) refuses n at or above this as an internal fault.
inline constexpr std::uint64_t RANDOM_BYTES_LIMIT = std::uint64_t{1} << 63;

// A fresh, all-zero pool state (errors of LockedRegion::allocate).
Result<LockedRegion> new_pool_state();

class EntropyPool {
public:
    explicit EntropyPool(LockedRegion state) noexcept : state_(std::move(state)) {}
    EntropyPool(const EntropyPool&) = delete;
    EntropyPool& operator=(const EntropyPool&) = delete;

    // seed = SHA-256(seed bytes), hashed before the lock is taken; counter = 0.
    // LockPoisoned, Wiped, ForkedChild leave the pool as it was.
    Status mix(std::span<const std::uint8_t> seed);

    // pool_fill: ceil(n / 32) blocks into `out`, the counter advanced by that
    // many. LockPoisoned, Wiped, ForkedChild; RngFailed leaves the counter
    // as it was (what was written to `out` is the caller's to discard).
    Status fill(std::span<std::uint8_t> out);

    // n public bytes. n >= 2^63 is an internal fault ("capacity overflow")
    // raised before the lock is taken, so the pool stays untouched.
    Result<std::vector<std::uint8_t>> random(std::uint64_t n);

    // n secret bytes born in a new region, allocated before the lock is taken
    // (EmptySecret for 0, AllocationFailed, LockRequired); released on failure.
    Result<LockedRegion> random_secret(std::uint64_t n);

    // For tests: the lock and the state region.
    ObjectLock& lock() noexcept { return lock_; }
    LockedRegion& state() noexcept { return state_; }

private:
    ObjectLock lock_;
    LockedRegion state_;
};

}  // namespace qv::entropy
