#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "memory/policy.hpp"
#include "memory/region.hpp"

namespace {

// A data area being watched, and whether it was all zero when the mapping
// that holds it was given back.
const std::uint8_t* g_watched = nullptr;
std::size_t g_watched_len = 0;
bool g_zero_when_unmapped = false;

}  // namespace

extern "C" int munmap(void* addr, std::size_t n) {
    const auto* begin = static_cast<const std::uint8_t*>(addr);
    if (g_watched != nullptr && begin <= g_watched && g_watched < begin + n) {
        g_zero_when_unmapped = std::all_of(g_watched, g_watched + g_watched_len, [](std::uint8_t b) { return b == 0; });
        g_watched = nullptr;
    }
    return static_cast<int>(syscall(SYS_munmap, addr, n));
}

namespace qv {
namespace {

// The data area is whole pages holding the 8-byte canary and the secret, with
// one guard page on each side; absurd page sizes fall back to 4096.
TEST(RegionLayout, WholePagesAroundCanaryAndSecret) {
    struct Case { std::uint64_t len, page, data_len; };
    for (const Case c : {Case{1, 4096, 4096}, Case{4088, 4096, 4096}, Case{4089, 4096, 8192}, Case{32, 16384, 16384}}) {
        auto layout = region_layout(c.len, c.page);
        ASSERT_TRUE(layout.ok()) << c.len;
        EXPECT_EQ(layout->data_len, c.data_len) << c.len;
        EXPECT_EQ(layout->map_len, c.data_len + 2 * c.page) << c.len;
    }
    EXPECT_EQ(region_layout(0, 4096).error().kind, ErrorKind::EmptySecret);
    for (std::uint64_t len : {~0ULL, ~0ULL - 8, ~0ULL - 3 * 4096})
        EXPECT_EQ(region_layout(len, 4096).error().kind, ErrorKind::AllocationFailed) << len;
    for (const auto& [answer, page] : {std::pair{-1L, 4096UL}, {511L, 4096UL}, {512L, 512UL}, {16384L, 16384UL}})
        EXPECT_EQ(page_size_from(answer), page) << answer;
}

// Only "require", ASCII case-folded and trimmed of exactly the Unicode
// White_Space code points (the ends of each range, not their neighbours),
// requires.
TEST(LockPolicyParse, OnlyTrimmedCaseFoldedRequireRequires) {
    for (const char* v : {"require", "REQUIRE", "  Require \n", "ReQuIrE\u2029"})
        EXPECT_EQ(parse_lock_policy(v), LockPolicy::Require) << v;
    for (const char* v : {"required", "1", "", " ", "re quire", "\xff" "require", "require\xc0", "\uff52equire"})
        EXPECT_EQ(parse_lock_policy(v), LockPolicy::BestEffort) << v;
    for (const char* w : {"\t", "\r", " ", "\xc2\x85", "\u00a0", "\u1680", "\u2000", "\u200a", "\u2028", "\u2029",
                          "\u202f", "\u205f", "\u3000"})
        EXPECT_EQ(parse_lock_policy(std::string(w) + "require" + w), LockPolicy::Require) << w;
    for (const char* w : {"\b", "\x0e", "\x1f", "\xc2\x84", "\u1fff", "\u200b", "\u2027", "\u202a", "\u205e", "\u3001"})
        EXPECT_EQ(parse_lock_policy(std::string(w) + "require" + w), LockPolicy::BestEffort) << w;
}

TEST(LockedRegion, FreshRegionHoldsCanaryThenZerosAndWithoutItIsAForkedChild) {
    auto region = LockedRegion::allocate(100);
    ASSERT_TRUE(region.ok());
    EXPECT_EQ(std::memcmp(region->data_area(), &REGION_CANARY, 8), 0);
    for (std::uint64_t i = 8; i < region->data_len(); ++i) ASSERT_EQ(region->data_area()[i], 0) << i;
    std::memset(region->data_area(), 0, 8);
    EXPECT_EQ(region->bytes().error().kind, ErrorKind::ForkedChild);
    EXPECT_EQ(region->bytes_mut().error().kind, ErrorKind::ForkedChild);
    EXPECT_EQ(region->try_clone().error().kind, ErrorKind::ForkedChild);
}

TEST(LockedRegion, WipeZeroesWholeDataAreaAndRefusesAccess) {
    const auto before = read_counters().live_secrets;
    {  // released without a wipe: zeroed before its pages are given back
        auto region = LockedRegion::from_slice(std::vector<std::uint8_t>(40, 0xab));
        ASSERT_TRUE(region.ok());
        g_watched = region->data_area();
        g_watched_len = region->data_len();
    }
    EXPECT_TRUE(g_zero_when_unmapped);
    {
        auto region = LockedRegion::from_slice(std::vector<std::uint8_t>(40, 0xab));
        ASSERT_TRUE(region.ok());
        region->wipe();
        for (std::uint64_t i = 0; i < region->data_len(); ++i) ASSERT_EQ(region->data_area()[i], 0) << i;
        EXPECT_EQ(region->bytes().error().kind, ErrorKind::Wiped);
        EXPECT_EQ(region->bytes_mut().error().kind, ErrorKind::Wiped);
        EXPECT_EQ(region->try_clone().error().kind, ErrorKind::Wiped);
        EXPECT_EQ(read_counters().live_secrets, before + 1);
    }
    EXPECT_EQ(read_counters().live_secrets, before);
}

// Each death test runs in a re-executed child ("threadsafe") that installs its
// own SIGSEGV handler: it says so when the fault is at the guard byte and lets
// the signal kill the process, which proves a segmentation fault at that
// address also under AddressSanitizer (whose handler would exit with 1).
volatile const void* g_expected_fault = nullptr;

void on_segv(int, siginfo_t* info, void*) {
    if (info->si_addr == g_expected_fault) (void)!write(2, "fault at the guard byte\n", 24);
    signal(SIGSEGV, SIG_DFL);  // returning re-runs the access, now fatal
}

void touch_expecting_fault(volatile const std::uint8_t* p) {
    g_expected_fault = const_cast<const std::uint8_t*>(p);
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &sa, nullptr);
    (void)*p;
}

void expect_guard_fault(bool after) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto region = LockedRegion::allocate(16);
    ASSERT_TRUE(region.ok());
    const std::uint8_t* p = after ? region->data_area() + region->data_len() : region->data_area() - 1;
    EXPECT_EXIT(touch_expecting_fault(p), ::testing::KilledBySignal(SIGSEGV), "fault at the guard byte");
}

TEST(LockedRegionDeathTest, ByteBeforeDataAreaFaults) { expect_guard_fault(false); }
TEST(LockedRegionDeathTest, ByteAfterDataAreaFaults) { expect_guard_fault(true); }

}  // namespace
}  // namespace qv
