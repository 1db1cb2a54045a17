#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "box/secret_box.hpp"
#include "crypto/ct.hpp"
#include "memory/policy.hpp"
#include "memory/zeroize.hpp"
#include "rng/random.hpp"

namespace qv {
namespace {

SecretBox make_box(std::vector<std::uint8_t> bytes) { return SecretBox(LockedRegion::from_slice(bytes).value()); }

TEST(ConstantTimeEqual, ComparesEveryPositionAndLength) {
    const std::vector<std::uint8_t> a{1, 2, 3, 4};
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto b = a;
        b[i] ^= 0x80;
        EXPECT_FALSE(ct::equal(a, b)) << i;
    }
    EXPECT_TRUE(ct::equal(a, a));
    EXPECT_FALSE(ct::equal(a, std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(ct::equal(std::span<const std::uint8_t>{}, std::span<const std::uint8_t>{}));
}

TEST(SecretBoxCore, FaultUnderTheLockPoisonsTheBox) {
    SecretBox box = make_box({1, 2, 3});
    // An error returned under the lock does not poison; a fault does.
    auto r = box.with_bytes([](std::span<const std::uint8_t>) -> Status { return ErrorKind::OpenFailed; });
    EXPECT_EQ(r.error().kind, ErrorKind::OpenFailed);
    ASSERT_TRUE(box.length().ok());
    EXPECT_THROW((void)box.with_bytes([](std::span<const std::uint8_t>) -> Status { fault("boom"); }), Fault);
    EXPECT_EQ(box.length().error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(box.wipe().error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(box.repr(), "SecretBox(<poisoned>)");
    SecretBox other = make_box({1, 2, 3});
    EXPECT_EQ(other.equals(box).error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(box.equals(other).error().kind, ErrorKind::LockPoisoned);
}

// random_region(300) asks for 256 then 44 bytes: the second request fails.
int g_calls = 0;
int second_request_fails(void* buf, std::size_t n) { return ++g_calls == 2 ? -1 : (std::memset(buf, 1, n), 0); }

TEST(RandomRegion, FailingSourceGivesRngFailedAndReleasesTheRegion) {
    const auto live = read_counters().live_secrets;
    const RandomSource previous = set_random_source(&second_request_fails);
    auto region = random_region(300);
    EXPECT_EQ(g_calls, 2);
    set_random_source(previous);
    EXPECT_EQ(region.error().kind, ErrorKind::RngFailed);
    EXPECT_EQ(read_counters().live_secrets, live);
}

// Shrinking and clearing zero the dropped bytes at once; a released large
// buffer's block is kept for reuse and must come back all zero.
TEST(ZeroizingBuffer, ReusedBlocksComeBackZeroed) {
    const std::size_t n = 40000;  // a cached, whole-page staging block
    const std::uint8_t* first = nullptr;
    {
        ZeroizingBuffer secret(n);
        std::memset(secret.data(), 0xa5, n);
        secret.resize(n / 2);  // shrinking zeroes the tail at once
        for (std::size_t i = n / 2; i < n; ++i) ASSERT_EQ(secret.data()[i], 0) << i;
        std::memset(secret.data(), 0xa5, n / 2);
        secret.clear();  // so does clearing, over the whole capacity
        for (std::size_t i = 0; i < secret.capacity(); ++i) ASSERT_EQ(secret.data()[i], 0) << i;
        std::memset(secret.data(), 0xa5, n);
        first = secret.data();
    }
    ZeroizingBuffer again(n);
    if (again.data() != first) GTEST_SKIP() << "no staging cache in this build";
    for (std::size_t i = 0; i < again.capacity(); ++i) ASSERT_EQ(again.data()[i], 0) << i;
}

}  // namespace
}  // namespace qv
