// The JSON reader where Python cannot look, and under the sanitizers:
// JSONTestSuite, and what a hostile record can cost and leave
// behind: heap and mapped bytes (counted by the operator new and mmap below)
// stay within twice the record plus a constant, the native stack used is
// small and the same at any depth. (That no text read or skipped is left on
// the stack is checked from Python, after every operation: test_small_stack.py.)
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "hybrid/session.hpp"
#include "json/reader.hpp"
#include "vectors.hpp"

namespace {

std::atomic<long long> g_live{0}, g_peak{0};

void note(long long delta) {
    const long long now = g_live += delta;
    for (long long peak = g_peak.load(); now > peak && !g_peak.compare_exchange_weak(peak, now);) {
    }
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer owns operator new (and some runtimes allocate through
// variants a replacement here would not see), so the heap is counted only in
// the other builds; mappings are counted in all of them.
constexpr bool kCountsHeap = false;
#else
constexpr bool kCountsHeap = true;
constexpr std::size_t kHeader = 16;

void* operator new(std::size_t n) {
    auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (p == nullptr) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(p) = n;
    note(static_cast<long long>(n));
    return p + kHeader;
}
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    auto* b = static_cast<unsigned char*>(p) - kHeader;
    note(-static_cast<long long>(*reinterpret_cast<std::size_t*>(b)));
    std::free(b);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
// The array forms call these by default.
#endif

// Large zeroizing buffers are page mappings of their own: count those too.
extern "C" void* mmap(void* addr, std::size_t n, int prot, int flags, int fd, off_t off) {
    void* p = reinterpret_cast<void*>(syscall(SYS_mmap, addr, n, prot, flags, fd, off));
    if (p != MAP_FAILED) note(static_cast<long long>(n));
    return p;
}
extern "C" int munmap(void* addr, std::size_t n) {
    note(-static_cast<long long>(n));
    return static_cast<int>(syscall(SYS_munmap, addr, n));
}

namespace qv::json {
namespace {

// Runs `fn` on a fresh thread (fresh per-thread buffer caches too) whose
// stack is a mapping painted with a pattern, a guard page below it: how many
// bytes of that stack were written, and the peak of heap and mapped bytes.
std::pair<std::size_t, long long> measure(std::function<void()> fn) {
    constexpr std::size_t kPage = 65536, kSize = 256 * 1024;  // whole pages on any Linux
    constexpr std::uint8_t kPaint = 0xA5;
    static auto* const base = static_cast<std::uint8_t*>(
        mmap(nullptr, kPage + kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base == MAP_FAILED || mprotect(base, kPage, PROT_NONE) != 0) throw std::runtime_error("mmap");
    std::uint8_t* const stack = base + kPage;
    std::memset(stack, kPaint, kSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kSize);
    const long long start = g_peak = g_live.load();
    pthread_t t;
    const auto run = [](void* f) -> void* {
        (*static_cast<std::function<void()>*>(f))();
        return nullptr;
    };
    if (pthread_create(&t, &attr, run, &fn) != 0) throw std::runtime_error("pthread_create");
    pthread_attr_destroy(&attr);
    pthread_join(t, nullptr);
    const auto* deepest = std::find_if(stack, stack + kSize, [](std::uint8_t b) { return b != kPaint; });
    return {static_cast<std::size_t>(stack + kSize - deepest), g_peak.load() - start};
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Takes every string of the record level, escapes resolved, as a reader of
// secrets does.
struct ReadAll final : RecordVisitor {
    ZeroizingBuffer last;
    bool begin(Kind) override { return true; }
    bool member(std::string_view) override { return true; }
    bool item(const Item& it) override {
        last.clear();
        return it.kind != Kind::String || read_string(it.text, last);
    }
    bool end(std::size_t) override { return true; }
};

bool accepted_as_record(std::span<const std::uint8_t> text) {
    ReadAll all;
    return read_record(text, all, "record", kAnyDepth).ok();
}

// test_parsing/: as a field lookup of an absent member, y_ files with an
// object at top level give "json field", every other y_ and n_ file "json
// object"; as the value of an ignored member, where the skipping scan checks
// them, n_ files are refused and y_ files accepted. The implementation-defined
// i_ files are pinned, read as records and as members alike: numbers are
// checked by the grammar alone, so every i_number file is accepted, huge
// exponents included, whatever the Boost version; refused are invalid UTF-8,
// lone or inverted surrogate escapes, UTF-16 text and a byte order mark.
TEST(JsonTestSuite, FilesBehaveAsRecorded) {
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(test::vector_path("jsontestsuite/test_parsing"))) {
        const std::string name = e.path().filename().string();
        SCOPED_TRACE(name);
        const std::string text = test::read_text(e.path());
        const std::string member = R"({"x":)" + text + "}";
        ++files;
        if (name[0] == 'i') {
            const bool accepted = name.rfind("i_number_", 0) == 0 || name == "i_structure_500_nested_arrays.json";
            EXPECT_EQ(accepted_as_record(as_bytes(text)), accepted);
            EXPECT_EQ(accepted_as_record(as_bytes(member)), accepted) << "as a member";
            continue;
        }
        const bool y = name[0] == 'y';
        const auto first = text.find_first_not_of(" \t\n\r");
        const bool object = first != std::string::npos && text[first] == '{';
        auto field = find_string_member(as_bytes(text), "\x01 absent");
        ASSERT_FALSE(field.ok());
        EXPECT_STREQ(field.error().what, y && object ? "json field" : "json object");
        EXPECT_EQ(accepted_as_record(as_bytes(member)), y) << "as a member";
    }
    EXPECT_GT(files, 250u);
}

// A sealed session whose ignored member "x" is `record`.
std::string session(const std::string& record) {
    const std::string key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
    return R"({"session_id":"s","sign_key":")" + key + R"(","enc_key":")" + key + R"(","expires_at":1,"x":)" +
           record + "}";
}

// A million levels of objects and arrays around a huge exponent; strings of
// escapes, read at the record level and (in a session) skipped.
TEST(ReaderBudget, MemoryAndStackStayWithinBoundsAtAnyDepth) {
    const std::size_t base = measure([] {}).first;
    std::string deep = R"({"x":)", escaped;
    for (int i = 0; i < 500'000; ++i) deep += R"({"a":[)";
    deep += "1e2147483648";
    for (int i = 0; i < 500'000; ++i) deep += "]}";
    for (int i = 0; i < 100'000; ++i) escaped += "\\u00e9";
    for (const std::string& r : {deep + "}", R"({"k":")" + escaped + R"(","x":")" + escaped + R"("})"}) {
        for (const bool sealed : {false, true}) {
            const std::string text = sealed ? session(r) : r;
            SCOPED_TRACE(text.substr(0, 40));
            bool ok = false;
            ReadAll all;
            const auto [used, memory] = measure([&] {
                ok = sealed ? hybrid::parse_sealed_session(as_bytes(text)).ok()
                            : read_record(as_bytes(text), all, "record", kAnyDepth).ok();
            });
            std::printf("record of %zu bytes%s: heap and mappings %lld bytes, stack %zu bytes\n", text.size(),
                        sealed ? " (sealed session)" : "", memory, used - base);
            EXPECT_TRUE(ok);
            if (kCountsHeap) {
                EXPECT_LE(memory, static_cast<long long>(2 * text.size() + 64 * 1024));
            }
            EXPECT_LE(used - base, 8u * 1024);
        }
    }
}

}  // namespace
}  // namespace qv::json
