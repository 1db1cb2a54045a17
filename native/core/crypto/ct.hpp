// Constant-time helpers. The barrier hides a value from the optimiser so
// that a loop over secret bytes cannot be turned into an early exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#if defined(QUORVEX_CTGRIND)
#include <valgrind/memcheck.h>
#endif

namespace qv::ct {

template <class T>
inline T barrier(T v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __asm__ volatile("" : "+r"(v));
#endif
    return v;
}

// Marks a value computed from secrets as public from here on: the verdict
// of a comparison, or data the caller receives anyway. Code branches on a
// secret-derived value only after passing it through here. A no-op, except
// in the constant-time check build (QUORVEX_CTGRIND), where it tells
// valgrind memcheck that the value is defined.
template <class T>
inline T declassify(T v) noexcept {
#if defined(QUORVEX_CTGRIND)
    VALGRIND_MAKE_MEM_DEFINED(&v, sizeof v);
#endif
    return v;
}

// 1 if a == b over n bytes, else 0; time depends on n only.
inline bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::uint32_t acc = 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t diff = static_cast<std::uint32_t>(a[i] ^ b[i]);
        // (diff - 1) >> 31 is 1 exactly when diff == 0 (diff < 256).
        acc &= barrier((diff - 1U) >> 31);
    }
    return barrier(acc) != 0;
}

// Equal lengths are compared in constant time; different lengths are unequal.
inline bool equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    return a.size() == b.size() && equal(a.data(), b.data(), a.size());
}

}  // namespace qv::ct
