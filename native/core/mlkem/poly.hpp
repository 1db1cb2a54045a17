// Polynomial arithmetic of ML-KEM over Z_q[X]/(X^256 + 1), q = 3329.
//
// Coefficients are int16_t. The NTT follows FIPS 203 Algorithms 9-12 with
// Montgomery multiplication (R = 2^16) and Barrett reduction; the twiddle
// factors are computed at compile time. Nothing here branches on or indexes
// memory by coefficient values, so it is safe on secret polynomials.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "mlkem/params.hpp"

namespace qv::mlkem {

struct Poly {
    std::array<std::int16_t, N> c;
};
using PolyVec = std::array<Poly, K>;
// Â in NTT form, row-major: a[i][j] = SampleNTT(ρ ‖ j ‖ i) (FIPS 203, Algorithm 13).
using PolyMatrix = std::array<PolyVec, K>;

// Forward NTT in place. Input |c| < q; output reduced to |c| <= q/2.
void ntt(Poly& p) noexcept;
// Inverse NTT in place, multiplied by R (cancels the 1/R of basemul_acc).
void invntt(Poly& p) noexcept;
// r = Σ a[i] ∘ b[i] in the NTT domain, times 1/R, reduced (|c| <= q/2).
void basemul_acc(Poly& r, const PolyVec& a, const PolyVec& b) noexcept;
// Multiplies every coefficient by R (undoes the 1/R of basemul_acc).
void to_mont(Poly& p) noexcept;
// Barrett reduction of every coefficient to |c| <= q/2.
void reduce(Poly& p) noexcept;
void add(Poly& r, const Poly& a) noexcept;
void sub(Poly& r, const Poly& a, const Poly& b) noexcept;  // r = a - b
// Maps every coefficient from (-q, q) to [0, q) without a branch.
void to_canonical(Poly& p) noexcept;

// ByteEncode12 of canonical coefficients (FIPS 203, Algorithm 5): 384 bytes.
void encode12(std::span<std::uint8_t, POLY_BYTES> out, const Poly& p) noexcept;
// ByteDecode12 (Algorithm 6): every 12-bit value reduced modulo q, in constant time.
void decode12(Poly& p, std::span<const std::uint8_t, POLY_BYTES> in) noexcept;

// Compress_d then ByteEncode_d of canonical coefficients, d ∈ {1, 4, 10}:
// 32·d bytes. Rounding divides by q with a multiply-shift (no division).
template <int D>
void compress_encode(std::span<std::uint8_t, 32 * D> out, const Poly& p) noexcept;
// ByteDecode_d then Decompress_d, d ∈ {1, 4, 10}.
template <int D>
void decode_decompress(Poly& p, std::span<const std::uint8_t, 32 * D> in) noexcept;

// SamplePolyCBD_2 (Algorithm 8) from 128 bytes of PRF output.
void cbd2(Poly& p, std::span<const std::uint8_t, 128> in) noexcept;

// Compress_d(x) for one canonical x, exposed for the exhaustive tests.
std::uint32_t compress(std::uint32_t x, int d) noexcept;

}  // namespace qv::mlkem
