// POSIX backend of LockedRegion: mmap, two guard mprotects, mlock, and on
// Linux madvise(MADV_DONTDUMP | MADV_WIPEONFORK) on the data area.
#include "memory/region.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "memory/policy.hpp"
#include "memory/platform.hpp"
#include "memory/zeroize.hpp"

#ifndef MAP_ANONYMOUS
#define MAP_ANONYMOUS MAP_ANON
#endif

namespace qv {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool canary_intact(const std::uint8_t* data) noexcept {
    std::uint64_t word;
    std::memcpy(&word, data, sizeof word);
    return word == REGION_CANARY;
}

}  // namespace

Result<RegionLayout> region_layout(std::uint64_t len, std::uint64_t page) {
    if (len == 0) return ErrorKind::EmptySecret;
    if (len >= kMax - 7) return ErrorKind::AllocationFailed;
    // (len + P + 7) / P * P, each step checked.
    if (len + 7 > kMax - page) return ErrorKind::AllocationFailed;
    const std::uint64_t data_len = (len + page + 7) / page * page;
    if (page > (kMax - data_len) / 2) return ErrorKind::AllocationFailed;
    return RegionLayout{data_len, data_len + 2 * page};
}

Result<LockedRegion> LockedRegion::allocate(std::uint64_t len) {
    const std::uint64_t page = page_size();
    QV_ASSIGN(const RegionLayout layout, region_layout(len, page));
    if (layout.map_len > std::numeric_limits<std::size_t>::max()) return ErrorKind::AllocationFailed;

    void* base = ::mmap(nullptr, layout.map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED || base == nullptr) return ErrorKind::AllocationFailed;
    auto* map_base = static_cast<std::uint8_t*>(base);
    std::uint8_t* data = map_base + page;

    // Both guards are always attempted.
    const int lead = ::mprotect(map_base, page, PROT_NONE);
    const int trail = ::mprotect(data + layout.data_len, page, PROT_NONE);
    if (lead != 0 || trail != 0) {
        ::munmap(base, layout.map_len);
        return ErrorKind::AllocationFailed;
    }

    const bool locked = ::mlock(data, layout.data_len) == 0;
    if (!locked) {
        const int err = errno;
        if (lock_policy() == LockPolicy::Require) {
            ::munmap(base, layout.map_len);
            return Error::lock_required(err);
        }
        counters::unlocked_allocation(err);
    }
    platform::advise_secret_pages(data, layout.data_len);

    std::memcpy(data, &REGION_CANARY, sizeof REGION_CANARY);
    counters::region_made();

    LockedRegion region;
    region.map_base_ = map_base;
    region.data_ = data;
    region.map_len_ = layout.map_len;
    region.data_len_ = layout.data_len;
    region.len_ = len;
    region.locked_ = locked;
    region.wiped_ = false;
    return region;
}

Result<LockedRegion> LockedRegion::from_slice(std::span<const std::uint8_t> bytes) {
    QV_ASSIGN(LockedRegion region, allocate(bytes.size()));
    QV_ASSIGN(const std::span<std::uint8_t> out, region.bytes_mut());
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return region;
}

LockedRegion::LockedRegion(LockedRegion&& other) noexcept { *this = std::move(other); }

LockedRegion& LockedRegion::operator=(LockedRegion&& other) noexcept {
    if (this != &other) {
        release();
        map_base_ = other.map_base_;
        data_ = other.data_;
        map_len_ = other.map_len_;
        data_len_ = other.data_len_;
        len_ = other.len_;
        locked_ = other.locked_;
        wiped_ = other.wiped_;
        other.map_base_ = nullptr;
        other.data_ = nullptr;
        other.map_len_ = other.data_len_ = other.len_ = 0;
    }
    return *this;
}

LockedRegion::~LockedRegion() { release(); }

void LockedRegion::release() noexcept {
    if (map_base_ == nullptr) return;
    secure_zero(data_, data_len_);
    if (locked_) ::munlock(data_, data_len_);
    counters::region_released();
    ::munmap(map_base_, map_len_);
    map_base_ = nullptr;
    data_ = nullptr;
}

void LockedRegion::check_invariants() const {
    if (map_base_ == nullptr || data_len_ < CANARY_BYTES || len_ > data_len_ - CANARY_BYTES) {
        fault("locked region invariant broken");
    }
}

Result<std::span<const std::uint8_t>> LockedRegion::bytes() const {
    check_invariants();
    if (wiped_) return ErrorKind::Wiped;
    if (!canary_intact(data_)) return ErrorKind::ForkedChild;
    return std::span<const std::uint8_t>(data_ + CANARY_BYTES, len_);
}

Result<std::span<std::uint8_t>> LockedRegion::bytes_mut() {
    check_invariants();
    if (wiped_) return ErrorKind::Wiped;
    if (!canary_intact(data_)) return ErrorKind::ForkedChild;
    return std::span<std::uint8_t>(data_ + CANARY_BYTES, len_);
}

Result<LockedRegion> LockedRegion::try_clone() const {
    QV_ASSIGN(const std::span<const std::uint8_t> source, bytes());
    return from_slice(source);
}

void LockedRegion::wipe() noexcept {
    if (data_ == nullptr) return;
    secure_zero(data_, data_len_);
    wiped_ = true;
}

}  // namespace qv
