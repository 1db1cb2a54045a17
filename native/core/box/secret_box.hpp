// The native state of a secret box: one locked region behind the box's own
// lock. Every access to the secret goes through here, under the lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "error/result.hpp"
#include "memory/region.hpp"
#include "memory/zeroize.hpp"
#include "sync/object_lock.hpp"

namespace qv {

class SecretBox {
public:
    explicit SecretBox(LockedRegion region) noexcept : region_(std::move(region)) {}
    SecretBox(const SecretBox&) = delete;
    SecretBox& operator=(const SecretBox&) = delete;

    // Runs `action` on the secret bytes while the lock is held; the view
    // never outlives the call. `action` returns a Result or Status, which is
    // passed through; LockPoisoned, Wiped or ForkedChild come first.
    template <class F>
    auto with_bytes(F&& action) -> std::invoke_result_t<F, std::span<const std::uint8_t>> {
        auto guard = lock_.acquire();
        if (!guard.ok()) return guard.error();
        auto view = region_.bytes();
        if (!view.ok()) return view.error();
        return std::forward<F>(action)(view.value());
    }

    // A copy of the secret, taken and released under the lock. Used where a
    // second box's bytes are needed beside another lock.
    Result<ZeroizingBuffer> copy_bytes();

    Result<LockedRegion> clone_region();
    Status wipe();
    Result<std::uint64_t> length();
    Result<bool> is_locked();
    Result<bool> is_wiped();
    // Never consults the canary, never fails.
    std::string repr();

    // Constant-time equality. The other box is copied out under its own lock
    // first, so the two locks are never held together. Not for `this == &other`
    // (the caller answers true without locking).
    Result<bool> equals(SecretBox& other);

    ObjectLock& lock() noexcept { return lock_; }
    // The region, for owners that hold lock() themselves.
    LockedRegion& region() noexcept { return region_; }

private:
    ObjectLock lock_;
    LockedRegion region_;
};

// A region of `len` bytes from the OS random source, written in place.
Result<LockedRegion> random_region(std::uint64_t len);

}  // namespace qv
