#include "box/secret_box.hpp"

#include <algorithm>

#include "crypto/ct.hpp"
#include "rng/random.hpp"

namespace qv {

Result<ZeroizingBuffer> SecretBox::copy_bytes() {
    // A region's length never changes, so the copy is allocated before the
    // lock is taken for the bytes: running out of memory cannot poison the box.
    QV_ASSIGN(const std::uint64_t len, length());
    ZeroizingBuffer copy = allocating([&] { return ZeroizingBuffer(static_cast<std::size_t>(len)); });
    QV_CHECK(with_bytes([&](std::span<const std::uint8_t> bytes) -> Status {
        if (bytes.size() != copy.size()) fault("secret box changed length");
        std::copy(bytes.begin(), bytes.end(), copy.data());
        return {};
    }));
    return copy;
}

Result<LockedRegion> SecretBox::clone_region() {
    QV_ASSIGN(auto guard, lock_.acquire());
    return region_.try_clone();
}

Status SecretBox::wipe() {
    QV_ASSIGN(auto guard, lock_.inspect());
    region_.wipe();
    return {};
}

Result<std::uint64_t> SecretBox::length() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return region_.len();
}

Result<bool> SecretBox::is_locked() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return region_.locked();
}

Result<bool> SecretBox::is_wiped() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return region_.wiped();
}

std::string SecretBox::repr() {
    auto guard = lock_.inspect();
    if (!guard.ok()) return "SecretBox(<poisoned>)";
    return "SecretBox(<" + std::to_string(region_.len()) + " bytes, redacted, locked=" +
           (region_.locked() ? "true" : "false") + ", wiped=" + (region_.wiped() ? "true" : "false") + ">)";
}

Result<bool> SecretBox::equals(SecretBox& other) {
    QV_ASSIGN(const ZeroizingBuffer theirs, other.copy_bytes());
    return with_bytes([&](std::span<const std::uint8_t> mine) -> Result<bool> {
        return ct::equal(mine, theirs.span());
    });
}

Result<LockedRegion> random_region(std::uint64_t len) {
    QV_ASSIGN(LockedRegion region, LockedRegion::allocate(len));
    QV_ASSIGN(const std::span<std::uint8_t> out, region.bytes_mut());
    QV_CHECK(fill_random(out));
    return region;
}

}  // namespace qv
