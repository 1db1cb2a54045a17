// The entropy pool with the OS random source fixed, so every output block
// can be recomputed as SHA-256(r ‖ seed ‖ counter BE) with OpenSSL's one-shot.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstring>
#include <vector>

#include "entropy/pool.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"

namespace qv::entropy {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The substituted source: every request is filled with 0xA5 and recorded.
std::vector<std::size_t> g_requests;
bool g_fail_after_first = false;

int fixed_source(void* buf, std::size_t n) {
    if (g_fail_after_first && !g_requests.empty()) return -1;
    g_requests.push_back(n);
    std::memset(buf, 0xa5, n);
    return 0;
}

class Pool : public testing::Test {
protected:
    void SetUp() override {
        g_requests.clear();
        g_fail_after_first = false;
        previous_ = set_random_source(&fixed_source);
    }
    void TearDown() override { set_random_source(previous_); }

    Bytes state() {
        const auto v = pool.state().bytes().value();
        return Bytes(v.begin(), v.end());
    }
    std::uint64_t counter() {
        const Bytes s = state();
        std::uint64_t c = 0;
        for (int i = 32; i < 40; ++i) c = (c << 8) | s[i];
        return c;
    }

    EntropyPool pool{new_pool_state().value()};
    RandomSource previous_ = nullptr;
};

Bytes sha256(const Bytes& data) {
    Bytes out(32);
    SHA256(data.data(), data.size(), out.data());
    return out;
}

Bytes expected_block(const Bytes& seed_hash, std::uint64_t c) {
    Bytes msg(32, 0xa5);
    msg.insert(msg.end(), seed_hash.begin(), seed_hash.end());
    for (int i = 7; i >= 0; --i) msg.push_back(static_cast<std::uint8_t>(c >> (8 * i)));
    return sha256(msg);
}

TEST_F(Pool, BlocksAreShaOfOsBytesSeedAndCounter) {
    const Bytes seed = {'s', 'e', 'e', 'd'};
    ASSERT_TRUE(pool.mix(seed).ok());
    const Bytes h = sha256(seed);
    const Bytes out = pool.random(70).value();
    Bytes want = expected_block(h, 0);
    for (std::uint64_t c : {1, 2}) {
        const Bytes b = expected_block(h, c);
        want.insert(want.end(), b.begin(), b.end());
    }
    want.resize(70);
    EXPECT_EQ(out, want);
    EXPECT_EQ(g_requests, std::vector<std::size_t>({32, 32, 32}));
    EXPECT_EQ(counter(), 3U);

    // The same seed and counter give the same output in another pool.
    EntropyPool other{new_pool_state().value()};
    ASSERT_TRUE(other.mix(seed).ok());
    EXPECT_EQ(other.random(70).value(), out);
}

TEST_F(Pool, NewPoolHashesZeroSeedAndMixResetsTheCounter) {
    EXPECT_EQ(state(), Bytes(40, 0));
    EXPECT_EQ(pool.random(32).value(), expected_block(Bytes(32, 0), 0));
    ASSERT_TRUE(pool.mix({}).ok());
    EXPECT_EQ(state(), [] { Bytes s = sha256({}); s.resize(40, 0); return s; }());
}

TEST_F(Pool, SizesAndCounterAdvance) {
    struct Case {
        std::uint64_t n, blocks;
    };
    std::uint64_t total = 0;
    for (const Case c : {Case{0, 0}, Case{1, 1}, Case{32, 1}, Case{33, 2}, Case{64, 2}, Case{4096, 128}}) {
        g_requests.clear();
        EXPECT_EQ(pool.random(c.n).value().size(), c.n);
        EXPECT_EQ(g_requests.size(), c.blocks);  // none at all for n = 0
        total += c.blocks;
        EXPECT_EQ(counter(), total);
    }
    LockedRegion secret = pool.random_secret(33).value();
    EXPECT_EQ(secret.len(), 33U);
    EXPECT_EQ(counter(), total + 2);
}

TEST_F(Pool, RngFailureLeavesTheCounterAndReleasesTheSecretRegion) {
    ASSERT_TRUE(pool.random(5).ok());
    g_fail_after_first = true;
    g_requests.clear();
    const Bytes before = state();
    EXPECT_EQ(pool.random(100).error().kind, ErrorKind::RngFailed);
    EXPECT_EQ(state(), before);
    g_requests.clear();
    const auto live = read_counters().live_secrets;
    EXPECT_EQ(pool.random_secret(100).error().kind, ErrorKind::RngFailed);
    EXPECT_EQ(read_counters().live_secrets, live);
    EXPECT_EQ(state(), before);
}

TEST_F(Pool, HugeRandomIsAFaultThatLeavesThePoolUsable) {
    const Bytes before = state();
    EXPECT_THROW((void)pool.random(std::uint64_t{1} << 63), Fault);
    EXPECT_THROW((void)pool.random(~std::uint64_t{0}), Fault);
    EXPECT_EQ(state(), before);
    EXPECT_TRUE(pool.random(1).ok());
}

TEST_F(Pool, RefusalsInOrder) {
    EXPECT_EQ(pool.random_secret(0).error().kind, ErrorKind::EmptySecret);
    EXPECT_EQ(g_requests.size(), 0U);
    pool.state().wipe();
    EXPECT_EQ(pool.random(0).error().kind, ErrorKind::Wiped);
    EXPECT_EQ(pool.mix({}).error().kind, ErrorKind::Wiped);
    pool.lock().poison();
    EXPECT_EQ(pool.random(0).error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(pool.random_secret(1).error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(pool.mix({}).error().kind, ErrorKind::LockPoisoned);
}

}  // namespace
}  // namespace qv::entropy
