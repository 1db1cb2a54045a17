// LockedRegion: one private anonymous mapping per secret.
//
//   [ guard page | data area: canary(8) secret(len) filler | guard page ]
//
// The guard pages are PROT_NONE, the data area is mlock-ed where the system
// allows it (see LockPolicy), excluded from core dumps and wiped in fork()
// children where the kernel offers that. The data area is zeroed before the
// mapping goes away. A region does no locking: its owner serialises access.
#pragma once

#include <cstdint>
#include <span>

#include "error/result.hpp"

namespace qv {

// Written as one native-endian word at the start of every data area. A data
// area that no longer carries it (zero-filled in a fork child) is refused.
inline constexpr std::uint64_t REGION_CANARY = 0x1a5ec0de5ec01e55ULL;
inline constexpr std::uint64_t CANARY_BYTES = 8;

struct RegionLayout {
    std::uint64_t data_len;  // D: whole pages holding canary + secret
    std::uint64_t map_len;   // D + two guard pages
};

// D = ceil((len + 8) / P) * P and map_len = D + 2P; AllocationFailed when
// any of it overflows 64 bits, EmptySecret for len 0.
Result<RegionLayout> region_layout(std::uint64_t len, std::uint64_t page);

class LockedRegion {
public:
    // EmptySecret, AllocationFailed, or LockRequired (with errno) under the
    // require policy. Comes back holding the canary and zeros.
    static Result<LockedRegion> allocate(std::uint64_t len);
    // allocate(bytes.size()) plus a copy; the caller zeroes its source.
    static Result<LockedRegion> from_slice(std::span<const std::uint8_t> bytes);

    LockedRegion(LockedRegion&& other) noexcept;
    LockedRegion& operator=(LockedRegion&& other) noexcept;
    LockedRegion(const LockedRegion&) = delete;
    LockedRegion& operator=(const LockedRegion&) = delete;
    ~LockedRegion();

    // Validated access: Wiped, then ForkedChild when the canary is gone.
    // A view must not outlive the owner's lock.
    Result<std::span<const std::uint8_t>> bytes() const;
    Result<std::span<std::uint8_t>> bytes_mut();
    // A second region with the same bytes (validated read first).
    Result<LockedRegion> try_clone() const;
    // Zeroes the whole data area, canary included; mapping and lock stay.
    void wipe() noexcept;

    std::uint64_t len() const noexcept { return len_; }
    bool locked() const noexcept { return locked_; }
    bool wiped() const noexcept { return wiped_; }

    // Raw layout, for tests and the kernel-view checks.
    std::uint8_t* map_base() const noexcept { return map_base_; }
    std::uint8_t* data_area() const noexcept { return data_; }
    std::uint64_t map_len() const noexcept { return map_len_; }
    std::uint64_t data_len() const noexcept { return data_len_; }

private:
    LockedRegion() = default;
    void check_invariants() const;
    void release() noexcept;

    std::uint8_t* map_base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint64_t map_len_ = 0;
    std::uint64_t data_len_ = 0;
    std::uint64_t len_ = 0;
    bool locked_ = false;
    bool wiped_ = false;
};

}  // namespace qv
