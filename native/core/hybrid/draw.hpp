// The infallible random-source adapter for key material: a failing source is
// an internal fault (PanicException at the boundary), never an error kind.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.hpp"
#include "rng/random.hpp"

namespace qv::hybrid {

inline void draw_key_material(std::span<std::uint8_t> out) {
    if (!fill_random(out).ok()) fault("operating system RNG failed while drawing key material");
}

}  // namespace qv::hybrid
