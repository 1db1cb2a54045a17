// A random source that fails part way through drawing key material: an
// internal fault that leaves no region (the first and the nonce draws are
// failed from Python, and the order of the draws is pinned by the protocol
// examples). A fork while another thread holds an object's lock, and running
// out of memory under it, are tested from Python for every kind of object
// (tests/test_fork_with_held_locks.py, tests/test_memory_pressure.py).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"

namespace qv {
namespace {

// Request number g_fail_at (1-based) fails; the others are filled with 1.
std::size_t g_requests = 0, g_fail_at = 0;
int failing_source(void* buf, std::size_t n) {
    if (++g_requests == g_fail_at) return -1;
    std::memset(buf, 1, n);
    return 0;
}

TEST(FailingSource, LaterKeyDrawsAreFaultsThatLeaveNoRegion) {
    hybrid::HybridKeyPair kp(hybrid::generate_identity().value());
    const auto x = kp.x25519_public().value();
    const auto m = kp.mlkem768_public().value();
    const std::vector<std::uint8_t> xp(x.begin(), x.end()), mp(m.begin(), m.end()), msg{1, 2};
    // generate draws s, d, z; seal_hybrid draws e, m (key material), then the nonce.
    const std::pair<std::size_t, std::function<void()>> cases[] = {
        {2, [] { (void)hybrid::generate_identity(); }},
        {3, [] { (void)hybrid::generate_identity(); }},
        {2, [&] { (void)hybrid::seal_hybrid(xp, mp, msg, {}); }},
    };
    for (const auto& [fail_at, call] : cases) {
        const auto live = read_counters().live_secrets;
        g_requests = 0, g_fail_at = fail_at;
        const RandomSource previous = set_random_source(&failing_source);
        EXPECT_THROW(call(), Fault) << fail_at;
        set_random_source(previous);
        EXPECT_EQ(g_requests, fail_at);
        EXPECT_EQ(read_counters().live_secrets, live) << fail_at;
    }
}

}  // namespace
}  // namespace qv
