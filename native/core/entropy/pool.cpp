#include "entropy/pool.hpp"

#include <algorithm>
#include <cstring>

#include <openssl/err.h>

#include "crypto/evp.hpp"
#include "memory/zeroize.hpp"
#include "rng/random.hpp"

namespace qv::entropy {

namespace {

constexpr std::size_t kCounterOffset = SEED_BYTES;

std::uint64_t load64_be(const std::uint8_t* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

void store64_be(std::uint8_t* p, std::uint64_t v) noexcept {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

[[noreturn]] void openssl_fault(const char* what) {
    ERR_clear_error();
    fault(what);
}

// SHA-256 over the concatenation of `parts` into `out` (32 bytes).
void sha256(EVP_MD_CTX* ctx, std::initializer_list<std::span<const std::uint8_t>> parts, std::uint8_t* out) {
    if (EVP_DigestInit_ex2(ctx, evp::sha256(), nullptr) != 1) openssl_fault("SHA-256 initialisation failed");
    for (const auto part : parts)
        if (!part.empty() && EVP_DigestUpdate(ctx, part.data(), part.size()) != 1)
            openssl_fault("SHA-256 update failed");
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx, out, &len) != 1 || len != 32) openssl_fault("SHA-256 finalisation failed");
}

}  // namespace

Result<LockedRegion> new_pool_state() { return LockedRegion::allocate(STATE_BYTES); }

Status EntropyPool::mix(std::span<const std::uint8_t> seed) {
    ZeroizingBuffer h(SEED_BYTES);
    {
        const evp::MdCtx ctx = evp::new_md_ctx();
        sha256(ctx.get(), {seed}, h.data());
    }
    QV_ASSIGN(auto guard, lock_.acquire());
    QV_ASSIGN(const std::span<std::uint8_t> state, state_.bytes_mut());
    std::memcpy(state.data(), h.data(), SEED_BYTES);
    // Every byte after the seed: the counter goes back to 0.
    std::fill(state.begin() + SEED_BYTES, state.end(), std::uint8_t{0});
    return {};
}

Status EntropyPool::fill(std::span<std::uint8_t> out) {
    // r (fresh OS bytes) and d (the digest) are secret: zeroed on every path.
    // They and the digest context are made before the lock is taken, so
    // running out of memory cannot poison the pool.
    ZeroizingBuffer scratch(2 * BLOCK_BYTES);
    const evp::MdCtx ctx = evp::new_md_ctx();
    QV_ASSIGN(auto guard, lock_.acquire());
    QV_ASSIGN(const std::span<std::uint8_t> state, state_.bytes_mut());
    if (state.size() != STATE_BYTES) fault("entropy pool state is not 40 bytes");
    std::uint64_t c = load64_be(state.data() + kCounterOffset);
    if (out.empty()) return {};

    const std::span<std::uint8_t> r(scratch.data(), BLOCK_BYTES);
    std::uint8_t* d = scratch.data() + BLOCK_BYTES;
    std::uint8_t counter_be[8];
    for (std::size_t off = 0; off < out.size(); off += BLOCK_BYTES) {
        QV_CHECK(fill_random(r));  // the stored counter is untouched on failure
        store64_be(counter_be, c);
        sha256(ctx.get(), {r, state.first(SEED_BYTES), counter_be}, d);
        const std::size_t n = std::min(BLOCK_BYTES, out.size() - off);
        std::memcpy(out.data() + off, d, n);
        secure_zero(scratch.data(), scratch.size());
        ++c;
    }
    store64_be(state.data() + kCounterOffset, c);
    return {};
}

Result<std::vector<std::uint8_t>> EntropyPool::random(std::uint64_t n) {
    if (n >= RANDOM_BYTES_LIMIT) fault("capacity overflow");
    std::vector<std::uint8_t> out(static_cast<std::size_t>(n));
    QV_CHECK(fill(out));
    return out;
}

Result<LockedRegion> EntropyPool::random_secret(std::uint64_t n) {
    QV_ASSIGN(LockedRegion region, LockedRegion::allocate(n));
    QV_ASSIGN(const std::span<std::uint8_t> out, region.bytes_mut());
    QV_CHECK(fill(out));
    return region;
}

}  // namespace qv::entropy
