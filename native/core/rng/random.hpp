// The operating system's random source (getentropy, at most 256 bytes per
// request). Tests may substitute the source to exercise failure paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error/result.hpp"

namespace qv {

// Same contract as getentropy(2): fills buf with n <= 256 bytes, 0 on success.
using RandomSource = int (*)(void* buf, std::size_t n);

// Fills `out` front to back in chunks of at most 256 bytes; the first failing
// chunk stops the fill with RngFailed (what was written stays: the caller
// discards or zeroes it).
Status fill_random(std::span<std::uint8_t> out) noexcept;

// Replaces the source for the whole process; nullptr restores getentropy.
// Returns the previous source. For tests only.
RandomSource set_random_source(RandomSource source) noexcept;

}  // namespace qv
