// A substituted random source that numbers its requests: a fresh identity
// draws s, d, z in that order and stores them where they belong, and a draw
// of key material that fails past the first one (the first and the nonce
// draws are failed from Python) is an internal fault that leaves no region.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"

namespace qv::hybrid {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Request number g_fail_at (1-based) fails; request k is filled with k.
std::vector<std::size_t> g_requests;
std::size_t g_fail_at = 0;
int numbered_source(void* buf, std::size_t n) {
    g_requests.push_back(n);
    if (g_requests.size() == g_fail_at) return -1;
    std::memset(buf, static_cast<int>(g_requests.size()), n);
    return 0;
}

struct SourceGuard {
    explicit SourceGuard(std::size_t fail_at) { g_requests.clear(), g_fail_at = fail_at, set_random_source(&numbered_source); }
    ~SourceGuard() { set_random_source(nullptr); }
};

Bytes secret_of(Result<LockedRegion> r) {
    const auto view = r.value().bytes().value();
    return Bytes(view.begin(), view.end());
}

TEST(HybridIdentity, GenerateDrawsSThenDThenZ) {
    auto parts = [] { SourceGuard numbered(0); return generate_identity(); }();
    ASSERT_TRUE(parts.ok());
    EXPECT_EQ(g_requests, (std::vector<std::size_t>{32, 32, 32}));
    HybridKeyPair kp(std::move(parts).value());
    EXPECT_EQ(secret_of(kp.x25519_secret()), Bytes(32, 1));
    const Bytes dk = secret_of(kp.mlkem768_secret());
    EXPECT_EQ(Bytes(dk.end() - 32, dk.end()), Bytes(32, 3));  // z is stored last
    const auto ek = kp.mlkem768_public().value();
    EXPECT_EQ(Bytes(ek.begin(), ek.end()), Bytes(dk.begin() + 1152, dk.begin() + 2336));
}

TEST(FailingSource, LaterKeyDrawsAreFaultsThatLeaveNoRegion) {
    HybridKeyPair kp(generate_identity().value());
    const auto x = kp.x25519_public().value();
    const auto m = kp.mlkem768_public().value();
    const Bytes xp(x.begin(), x.end()), mp(m.begin(), m.end());
    // generate draws s, d, z; seal_hybrid draws e, m (key material), then the nonce.
    const std::pair<std::size_t, std::function<void()>> cases[] = {
        {2, [] { (void)generate_identity(); }},
        {3, [] { (void)generate_identity(); }},
        {2, [&] { (void)seal_hybrid(xp, mp, Bytes{1, 2}, {}); }},
    };
    for (const auto& [fail_at, call] : cases) {
        const auto live = read_counters().live_secrets;
        {
            SourceGuard failing(fail_at);
            EXPECT_THROW(call(), Fault) << fail_at;
        }
        EXPECT_EQ(g_requests.size(), fail_at);
        EXPECT_EQ(read_counters().live_secrets, live) << fail_at;
    }
}

}  // namespace
}  // namespace qv::hybrid
