// The draw order of a fresh identity, seen through a substituted random
// source; the builder's checks, seals and opens are tested from Python.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hybrid/keypair.hpp"
#include "rng/random.hpp"

namespace qv::hybrid {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes secret_of(Result<LockedRegion> r) {
    const auto view = r.value().bytes().value();
    return Bytes(view.begin(), view.end());
}

// Counts requests and numbers the bytes so that the draws can be told apart.
std::vector<std::size_t> g_requests;
int counting_source(void* buf, std::size_t n) {
    g_requests.push_back(n);
    std::memset(buf, static_cast<int>(g_requests.size()), n);
    return 0;
}

TEST(HybridIdentity, GenerateDrawsSThenDThenZ) {
    const RandomSource previous = set_random_source(counting_source);
    auto parts = generate_identity();
    set_random_source(previous);
    ASSERT_TRUE(parts.ok());
    EXPECT_EQ(g_requests, (std::vector<std::size_t>{32, 32, 32}));
    HybridKeyPair kp(std::move(parts).value());
    EXPECT_EQ(secret_of(kp.x25519_secret()), Bytes(32, 1));
    const Bytes dk = secret_of(kp.mlkem768_secret());
    EXPECT_EQ(Bytes(dk.end() - 32, dk.end()), Bytes(32, 3));  // z is stored last
    const auto ek = kp.mlkem768_public().value();
    EXPECT_EQ(Bytes(ek.begin(), ek.end()), Bytes(dk.begin() + 1152, dk.begin() + 2336));
}

}  // namespace
}  // namespace qv::hybrid
