// The entropy pool with the OS random source fixed, so every output block
// can be recomputed as SHA-256(r ‖ seed hash ‖ counter BE) with OpenSSL's
// one-shot. Sizes, a failing source seen from Python (no region left, a
// zero-length request draws nothing) and the texts are in tests/.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "entropy/pool.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"

namespace qv::entropy {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The substituted source: every request is filled with 0xA5 and recorded;
// once g_fail_after requests are recorded, the next ones fail.
std::vector<std::size_t> g_requests;
std::size_t g_fail_after = SIZE_MAX;

int fixed_source(void* buf, std::size_t n) {
    if (g_requests.size() >= g_fail_after) return -1;
    g_requests.push_back(n);
    std::memset(buf, 0xa5, n);
    return 0;
}

Bytes sha256(const Bytes& data) {
    Bytes out(32);
    SHA256(data.data(), data.size(), out.data());
    return out;
}

// `prefix`, then the pool's state: the seed hash and the counter big-endian.
Bytes state_of(const Bytes& seed_hash, std::uint64_t counter, Bytes prefix = {}) {
    prefix.insert(prefix.end(), seed_hash.begin(), seed_hash.end());
    for (int i = 7; i >= 0; --i) prefix.push_back(static_cast<std::uint8_t>(counter >> (8 * i)));
    return prefix;
}

// Output blocks 0 .. n-1 after a mix whose seed hashed to `seed_hash`.
Bytes blocks(const Bytes& seed_hash, std::uint64_t n) {
    Bytes out;
    for (std::uint64_t c = 0; c < n; ++c) {
        const Bytes b = sha256(state_of(seed_hash, c, Bytes(32, 0xa5)));
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

class Pool : public testing::Test {
protected:
    void SetUp() override { g_requests.clear(), g_fail_after = SIZE_MAX, previous_ = set_random_source(&fixed_source); }
    void TearDown() override { set_random_source(previous_); }
    Bytes state() { return [](auto v) { return Bytes(v.begin(), v.end()); }(pool.state().bytes().value()); }
    EntropyPool pool{new_pool_state().value()};
    RandomSource previous_ = nullptr;
};

TEST_F(Pool, BlocksAreShaOfOsBytesSeedAndCounter) {
    EXPECT_EQ(state(), Bytes(40, 0));  // a new pool: zero seed hash, counter 0
    EXPECT_EQ(pool.random(32).value(), blocks(Bytes(32, 0), 1));
    ASSERT_TRUE(pool.mix({}).ok());  // mixing resets the counter
    EXPECT_EQ(state(), state_of(sha256({}), 0));
    const Bytes seed = {'s', 'e', 'e', 'd'};
    ASSERT_TRUE(pool.mix(seed).ok());
    g_requests.clear();
    Bytes want = blocks(sha256(seed), 3);
    want.resize(70);
    EXPECT_EQ(pool.random(70).value(), want);
    EXPECT_EQ(g_requests, std::vector<std::size_t>({32, 32, 32}));
    EXPECT_EQ(state(), state_of(sha256(seed), 3));
    EXPECT_EQ(pool.random_secret(33).value().len(), 33U);
    EXPECT_EQ(state(), state_of(sha256(seed), 5));
}

TEST_F(Pool, RefusalsInOrderLeaveTheStateAndNoRegion) {
    ASSERT_TRUE(pool.random(5).ok());
    const Bytes before = state();
    const auto live = read_counters().live_secrets;
    g_requests.clear();
    EXPECT_EQ(pool.random_secret(0).error().kind, ErrorKind::EmptySecret);
    EXPECT_EQ(g_requests.size(), 0U);
    for (const bool secret : {false, true}) {  // the second block's draw fails
        g_requests.clear(), g_fail_after = 1;
        EXPECT_EQ(secret ? pool.random_secret(100).error().kind : pool.random(100).error().kind, ErrorKind::RngFailed);
    }
    EXPECT_EQ(read_counters().live_secrets, live);
    EXPECT_EQ(state(), before);
    pool.state().wipe();
    EXPECT_EQ(pool.random(0).error().kind, ErrorKind::Wiped);
    EXPECT_EQ(pool.mix({}).error().kind, ErrorKind::Wiped);
}

}  // namespace
}  // namespace qv::entropy
