#include "memory/policy.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <vector>

namespace qv {

namespace {

std::atomic<std::uint64_t> g_live_secrets{0};
std::atomic<std::uint64_t> g_unlocked_allocations{0};
std::atomic<std::int32_t> g_last_lock_errno{0};

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
           c == 0x3000;
}

struct CodePoint {
    char32_t value;
    std::size_t offset;
    std::size_t length;
};

// Strict UTF-8 decoding (no overlongs, no surrogates, at most U+10FFFF).
bool decode_utf8(std::string_view s, std::vector<CodePoint>& out) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t n;
        char32_t c;
        char32_t min;
        if (b0 < 0x80) {
            n = 1, c = b0, min = 0;
        } else if ((b0 & 0xe0) == 0xc0) {
            n = 2, c = b0 & 0x1f, min = 0x80;
        } else if ((b0 & 0xf0) == 0xe0) {
            n = 3, c = b0 & 0x0f, min = 0x800;
        } else if ((b0 & 0xf8) == 0xf0) {
            n = 4, c = b0 & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xc0) != 0x80) return false;
            c = (c << 6) | (b & 0x3f);
        }
        if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
        out.push_back({c, i, n});
        i += n;
    }
    return true;
}

}  // namespace

std::uint64_t page_size_from(long answer) noexcept {
    return answer > 511 ? static_cast<std::uint64_t>(answer) : 4096;
}

std::uint64_t page_size() {
    static const std::uint64_t size = page_size_from(::sysconf(_SC_PAGESIZE));
    return size;
}

LockPolicy parse_lock_policy(std::string_view raw) noexcept {
    try {
        std::vector<CodePoint> cps;
        if (!decode_utf8(raw, cps)) return LockPolicy::BestEffort;
        std::size_t first = 0;
        std::size_t last = cps.size();
        while (first < last && is_white_space(cps[first].value)) ++first;
        while (last > first && is_white_space(cps[last - 1].value)) --last;
        if (first == last) return LockPolicy::BestEffort;
        const std::size_t begin = cps[first].offset;
        const std::size_t end = cps[last - 1].offset + cps[last - 1].length;
        const std::string_view word = raw.substr(begin, end - begin);
        constexpr std::string_view require = "require";
        if (word.size() != require.size()) return LockPolicy::BestEffort;
        for (std::size_t i = 0; i < word.size(); ++i) {
            char c = word[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != require[i]) return LockPolicy::BestEffort;
        }
        return LockPolicy::Require;
    } catch (...) {
        return LockPolicy::BestEffort;
    }
}

LockPolicy lock_policy() {
    static const LockPolicy policy = [] {
        const char* value = std::getenv("QUORVEX_MEMORY_LOCK");
        return value == nullptr ? LockPolicy::BestEffort : parse_lock_policy(value);
    }();
    return policy;
}

const char* lock_policy_name(LockPolicy policy) noexcept {
    return policy == LockPolicy::Require ? "require" : "best-effort";
}

Counters read_counters() noexcept {
    Counters c;
    c.last_lock_errno = g_last_lock_errno.load(std::memory_order_relaxed);
    c.live_secrets = g_live_secrets.load(std::memory_order_relaxed);
    c.unlocked_allocations = g_unlocked_allocations.load(std::memory_order_relaxed);
    return c;
}

namespace counters {

void region_made() noexcept { g_live_secrets.fetch_add(1, std::memory_order_relaxed); }
void region_released() noexcept { g_live_secrets.fetch_sub(1, std::memory_order_relaxed); }
void unlocked_allocation(int err_no) noexcept {
    g_unlocked_allocations.fetch_add(1, std::memory_order_relaxed);
    g_last_lock_errno.store(err_no, std::memory_order_relaxed);
}

}  // namespace counters

}  // namespace qv
