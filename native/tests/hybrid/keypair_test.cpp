#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"

namespace qv::hybrid {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes to_vec(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

Bytes secret_of(Result<LockedRegion> r) {
    return to_vec(r.value().bytes().value());
}

// Counts requests and numbers the bytes so that the draws can be told apart.
std::vector<std::size_t> g_requests;
int counting_source(void* buf, std::size_t n) {
    g_requests.push_back(n);
    std::memset(buf, static_cast<int>(g_requests.size()), n);
    return 0;
}
int failing_source(void*, std::size_t) { return -1; }

struct SourceGuard {
    explicit SourceGuard(RandomSource s) { set_random_source(s); }
    ~SourceGuard() { set_random_source(nullptr); }
};

TEST(HybridIdentity, GenerateDrawsSThenDThenZ) {
    g_requests.clear();
    Result<IdentityParts> parts = ErrorKind::Wiped;
    {
        SourceGuard guard(counting_source);
        parts = generate_identity();
    }
    ASSERT_TRUE(parts.ok());
    EXPECT_EQ(g_requests, (std::vector<std::size_t>{32, 32, 32}));
    HybridKeyPair kp(std::move(parts).value());
    EXPECT_EQ(secret_of(kp.x25519_secret()), Bytes(32, 1));
    const Bytes dk = secret_of(kp.mlkem768_secret());
    EXPECT_EQ(Bytes(dk.end() - 32, dk.end()), Bytes(32, 3));  // z is stored last
    EXPECT_EQ(to_vec(kp.mlkem768_public().value()), Bytes(dk.begin() + 1152, dk.begin() + 2336));
}

TEST(HybridIdentity, FailingRandomSourceIsAFaultAndLeavesNoRegion) {
    const auto before = read_counters().live_secrets;
    SourceGuard guard(failing_source);
    EXPECT_THROW((void)generate_identity(), Fault);
    Bytes x(32, 9), ml(1184, 0);
    EXPECT_THROW((void)seal_hybrid(x, ml, {}, {}), Fault);
    EXPECT_EQ(read_counters().live_secrets, before);
}

struct BuilderCase {
    std::size_t s_len, dk_len;
    int damage;  // 0 none, 1 hash bit, 2 coefficient >= q with matching hash, 3 z, 4 dk_PKE
    Error want;
};

class Builder : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(Builder, ChecksInOrder) {
    const BuilderCase& c = GetParam();
    HybridKeyPair good(generate_identity().value());
    Bytes dk = secret_of(good.mlkem768_secret());
    dk.resize(c.dk_len);
    if (c.damage == 1) dk[2340] ^= 0x04;
    if (c.damage == 2) {
        dk[1152 + 30] = 0xff;  // coefficient 20 becomes >= 3840
        dk[1152 + 31] |= 0x0f;
        std::array<std::uint8_t, 32> h;
        mlkem::Hasher hasher;
        hasher.h(h, {std::span<const std::uint8_t>(dk).subspan(1152, 1184)});
        std::memcpy(dk.data() + 2336, h.data(), 32);
    }
    if (c.damage == 3) dk[2399] ^= 1;
    if (c.damage == 4) dk[7] ^= 0x80;
    const Bytes s(c.s_len, 0);
    const auto before = read_counters().live_secrets;
    auto built = build_identity(s, dk);
    if (c.want == Error(ErrorKind::Wiped)) {  // stands for success here
        ASSERT_TRUE(built.ok());
        EXPECT_EQ(read_counters().live_secrets, before + 2);
        return;
    }
    ASSERT_FALSE(built.ok());
    EXPECT_EQ(render(built.error()), render(c.want));
    EXPECT_EQ(read_counters().live_secrets, before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Builder,
    ::testing::Values(BuilderCase{31, 2399, 0, Error::bad_length("x25519 secret key", 32, 31)},
                      BuilderCase{33, 2400, 0, Error::bad_length("x25519 secret key", 32, 33)},
                      BuilderCase{32, 2399, 0, Error::bad_length("ml-kem-768 secret key", 2400, 2399)},
                      BuilderCase{32, 2400, 1, Error(ErrorKind::InvalidKey)},
                      BuilderCase{32, 2400, 2, Error(ErrorKind::InvalidKey)},
                      BuilderCase{32, 2400, 3, Error(ErrorKind::Wiped)},
                      BuilderCase{32, 2400, 4, Error(ErrorKind::Wiped)}));

TEST(HybridIdentity, RestoredIdentityHasTheSamePublics) {
    HybridKeyPair kp(generate_identity().value());
    const Bytes s = secret_of(kp.x25519_secret()), dk = secret_of(kp.mlkem768_secret());
    HybridKeyPair again(build_identity(s, dk).value());
    EXPECT_EQ(to_vec(again.x25519_public().value()), to_vec(kp.x25519_public().value()));
    EXPECT_EQ(to_vec(again.mlkem768_public().value()), to_vec(kp.mlkem768_public().value()));
}

TEST(HybridIdentity, WipeKeepsPublicsAndRefusesSecrets) {
    HybridKeyPair kp(generate_identity().value());
    const Bytes pub = to_vec(kp.x25519_public().value());
    ASSERT_TRUE(kp.wipe().ok());
    ASSERT_TRUE(kp.wipe().ok());
    EXPECT_TRUE(kp.is_wiped().value());
    EXPECT_EQ(to_vec(kp.x25519_public().value()), pub);
    EXPECT_EQ(render(kp.x25519_secret().error()), render(Error(ErrorKind::Wiped)));
    EXPECT_EQ(render(kp.mlkem768_secret().error()), render(Error(ErrorKind::Wiped)));
}

}  // namespace
}  // namespace qv::hybrid
