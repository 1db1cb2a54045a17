#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include <signal.h>
#include <unistd.h>

#include "memory/policy.hpp"
#include "memory/region.hpp"

namespace qv {
namespace {

struct LayoutCase {
    std::uint64_t len, page, data_len, map_len;
};

class RegionLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RegionLayoutTest, DataAreaIsWholePagesHoldingCanaryAndSecret) {
    const LayoutCase c = GetParam();
    auto layout = region_layout(c.len, c.page);
    ASSERT_TRUE(layout.ok());
    EXPECT_EQ(layout->data_len, c.data_len);
    EXPECT_EQ(layout->map_len, c.map_len);
}

INSTANTIATE_TEST_SUITE_P(Pages, RegionLayoutTest,
                         ::testing::Values(LayoutCase{1, 4096, 4096, 12288}, LayoutCase{4088, 4096, 4096, 12288},
                                           LayoutCase{4089, 4096, 8192, 16384},
                                           LayoutCase{32, 16384, 16384, 49152},
                                           LayoutCase{16376, 16384, 16384, 49152},
                                           LayoutCase{16377, 16384, 32768, 65536}));

TEST(RegionLayout, RefusesEmptyAndOverflowingSizes) {
    EXPECT_EQ(region_layout(0, 4096).error().kind, ErrorKind::EmptySecret);
    for (std::uint64_t len : {~0ULL, ~0ULL - 7, ~0ULL - 8, ~0ULL - 4096, ~0ULL - 3 * 4096}) {
        EXPECT_EQ(region_layout(len, 4096).error().kind, ErrorKind::AllocationFailed) << len;
    }
}

TEST(PageSize, AbsurdAnswersFallBackTo4096) {
    EXPECT_EQ(page_size_from(-1), 4096u);
    EXPECT_EQ(page_size_from(256), 4096u);
    EXPECT_EQ(page_size_from(511), 4096u);
    EXPECT_EQ(page_size_from(512), 512u);
    EXPECT_EQ(page_size_from(16384), 16384u);
}

TEST(LockPolicyParse, OnlyTrimmedCaseFoldedRequireRequires) {
    for (const char* v : {"require", "REQUIRE", "  Require \n", "\t\u00a0require\u3000", "ReQuIrE\u2029"}) {
        EXPECT_EQ(parse_lock_policy(v), LockPolicy::Require) << v;
    }
    for (const char* v : {"required", "1", "true", "", " ", "re quire", "\xff" "require", "require\xc0"}) {
        EXPECT_EQ(parse_lock_policy(v), LockPolicy::BestEffort) << v;
    }
    // Full-width letters are not ASCII case variants.
    EXPECT_EQ(parse_lock_policy("\uff52equire"), LockPolicy::BestEffort);
}

std::string utf8(char32_t c) {
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    if (c < 0x800) return {static_cast<char>(0xc0 | c >> 6), static_cast<char>(0x80 | (c & 0x3f))};
    return {static_cast<char>(0xe0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3f)),
            static_cast<char>(0x80 | (c & 0x3f))};
}

// Every Unicode White_Space code point is trimmed; its neighbours are not.
TEST(LockPolicyParse, TrimsExactlyTheUnicodeWhiteSpace) {
    for (char32_t c : {0x09, 0x0d, 0x20, 0x85, 0xa0, 0x1680, 0x2000, 0x200a, 0x2028, 0x2029, 0x202f, 0x205f, 0x3000}) {
        EXPECT_EQ(parse_lock_policy(utf8(c) + "require" + utf8(c)), LockPolicy::Require) << std::hex << static_cast<std::uint32_t>(c);
    }
    for (char32_t c : {0x08, 0x0e, 0x1f, 0x84, 0x1fff, 0x200b, 0x2027, 0x202a, 0x205e, 0x3001}) {
        EXPECT_EQ(parse_lock_policy(utf8(c) + "require"), LockPolicy::BestEffort) << std::hex << static_cast<std::uint32_t>(c);
        EXPECT_EQ(parse_lock_policy("require" + utf8(c)), LockPolicy::BestEffort) << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(LockedRegion, FreshRegionHoldsCanaryThenZerosAndCountsItself) {
    const auto before = read_counters().live_secrets;
    {
        auto region = LockedRegion::allocate(100);
        ASSERT_TRUE(region.ok());
        EXPECT_EQ(read_counters().live_secrets, before + 1);
        const std::uint8_t* data = region->data_area();
        std::uint64_t canary;
        std::memcpy(&canary, data, 8);
        EXPECT_EQ(canary, REGION_CANARY);
        for (std::uint64_t i = 8; i < region->data_len(); ++i) ASSERT_EQ(data[i], 0) << i;
        EXPECT_EQ(region->map_len(), region->data_len() + 2 * page_size());
        EXPECT_EQ(region->data_area(), region->map_base() + page_size());
    }
    EXPECT_EQ(read_counters().live_secrets, before);
}

TEST(LockedRegion, WipeZeroesWholeDataAreaAndRefusesAccess) {
    auto region = LockedRegion::from_slice(std::vector<std::uint8_t>(40, 0xab));
    ASSERT_TRUE(region.ok());
    const bool locked = region->locked();
    const auto live = read_counters().live_secrets;
    region->wipe();
    for (std::uint64_t i = 0; i < region->data_len(); ++i) ASSERT_EQ(region->data_area()[i], 0) << i;
    EXPECT_EQ(region->bytes().error().kind, ErrorKind::Wiped);
    EXPECT_EQ(region->bytes_mut().error().kind, ErrorKind::Wiped);
    EXPECT_EQ(region->try_clone().error().kind, ErrorKind::Wiped);
    EXPECT_EQ(region->locked(), locked);
    EXPECT_EQ(read_counters().live_secrets, live);
}

TEST(LockedRegion, MissingCanaryMeansForkedChild) {
    auto region = LockedRegion::from_slice(std::vector<std::uint8_t>{1, 2, 3});
    ASSERT_TRUE(region.ok());
    std::memset(region->data_area(), 0, 8);
    EXPECT_EQ(region->bytes().error().kind, ErrorKind::ForkedChild);
    EXPECT_EQ(region->try_clone().error().kind, ErrorKind::ForkedChild);
}

// Each death test runs in its own child process (re-executed: "threadsafe").
// The child installs its own SIGSEGV handler, which checks that the fault is
// at the guard byte, says so, and lets the signal kill the process; so the
// test proves a segmentation fault at that address, also under
// AddressSanitizer (whose own SEGV handler would otherwise exit with 1).
volatile const void* g_expected_fault = nullptr;

void on_segv(int, siginfo_t* info, void*) {
    if (info->si_addr == g_expected_fault) {
        static const char said[] = "fault at the guard byte\n";
        (void)!write(2, said, sizeof said - 1);
    }
    signal(SIGSEGV, SIG_DFL);  // returning re-runs the access, now fatal
}

void touch_expecting_fault(volatile const std::uint8_t* p) {
    g_expected_fault = const_cast<const std::uint8_t*>(p);
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
    (void)*p;
}

TEST(LockedRegionDeathTest, ByteBeforeDataAreaFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto region = LockedRegion::allocate(16);
    ASSERT_TRUE(region.ok());
    EXPECT_EXIT(touch_expecting_fault(region->data_area() - 1), ::testing::KilledBySignal(SIGSEGV),
                "fault at the guard byte");
}

TEST(LockedRegionDeathTest, ByteAfterDataAreaFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto region = LockedRegion::allocate(16);
    ASSERT_TRUE(region.ok());
    EXPECT_EXIT(touch_expecting_fault(region->data_area() + region->data_len()), ::testing::KilledBySignal(SIGSEGV),
                "fault at the guard byte");
}

}  // namespace
}  // namespace qv
