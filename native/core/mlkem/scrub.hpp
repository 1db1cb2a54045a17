// A value that is overwritten with zeros when it goes out of scope, for the
// secret working state of the KEM (polynomials, seeds, hash outputs).
#pragma once

#include "memory/zeroize.hpp"

namespace qv::mlkem {

template <class T>
struct Scrubbed {
    T v{};
    Scrubbed() = default;
    Scrubbed(const Scrubbed&) = delete;
    Scrubbed& operator=(const Scrubbed&) = delete;
    ~Scrubbed() { secure_zero(&v, sizeof v); }
};

}  // namespace qv::mlkem
