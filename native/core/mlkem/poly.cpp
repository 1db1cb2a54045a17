#include "mlkem/poly.hpp"

#include "memory/zeroize.hpp"

namespace qv::mlkem {

namespace {

constexpr std::int32_t QINV = -3327;  // q^-1 mod 2^16
constexpr std::int16_t R2_MOD_Q = 1353;  // 2^32 mod q
constexpr std::int16_t INV_NTT_SCALE = 1441;  // R^2 / 128 mod q

// a · 2^-16 mod q for |a| < q · 2^15; result in (-q, q).
constexpr std::int16_t montgomery_reduce(std::int32_t a) noexcept {
    const auto t = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * QINV);
    return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * Q) >> 16);
}

// High half of a 16 x 16-bit product (one vpmulhw / pmulhw lane).
constexpr std::int16_t mulhi(std::int16_t a, std::int16_t b) noexcept {
    return static_cast<std::int16_t>((static_cast<std::int32_t>(a) * b) >> 16);
}

// montgomery_reduce(a · b) in 16-bit lanes, the form compilers vectorise:
// a·b - t·q has a zero low half, so its high half is hi(a·b) - hi(t·q)
// exactly, with t = lo(lo(a·b) · q^-1). Same result bit for bit.
constexpr std::int16_t fqmul(std::int16_t a, std::int16_t b) noexcept {
    const auto lo = static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(a)) *
                                               static_cast<std::uint16_t>(b));
    const auto t = static_cast<std::int16_t>(static_cast<std::uint32_t>(lo) * static_cast<std::uint16_t>(QINV));
    return static_cast<std::int16_t>(mulhi(a, b) - mulhi(t, Q));
}
static_assert(fqmul(-1044, 3000) == montgomery_reduce(-1044 * 3000));
static_assert(fqmul(-32768, 1664) == montgomery_reduce(-32768 * 1664));

// Centered representative of a mod q, |result| <= q/2: a - round(a·v / 2^26)·q
// with v = round(2^26 / q). The quotient is taken as (hi(a·v) + 2^9) >> 10,
// which equals (a·v + 2^25) >> 26 exactly (nested floors), so the whole
// reduction runs in 16-bit lanes.
constexpr std::int16_t barrett_reduce(std::int16_t a) noexcept {
    constexpr std::int16_t v = ((1 << 26) + Q / 2) / Q;
    const auto t = static_cast<std::int16_t>((mulhi(a, v) + (1 << 9)) >> 10);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(a) -
                                     static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(t)) * Q));
}
static_assert(barrett_reduce(32767) == 32767 - 10 * 3329 && barrett_reduce(-32768) == -32768 + 10 * 3329);
static_assert(barrett_reduce(1665) == 1665 - 3329 && barrett_reduce(1664) == 1664);

// The loops below are written for the vectoriser; on x86-64 Linux each
// function is also compiled for AVX2 and the loader picks the variant the
// CPU supports (GCC function multiversioning, an ifunc resolved through
// __builtin_cpu_supports). Integer arithmetic only: every variant gives the
// same bits.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define QV_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define QV_MULTIVERSION
#endif

constexpr unsigned bitrev7(unsigned i) noexcept {
    unsigned r = 0;
    for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1U) << (6 - b);
    return r;
}

// zetas[i] = R · 17^BitRev7(i) mod q, centered (FIPS 203, section 4.3).
constexpr std::array<std::int16_t, 128> make_zetas() {
    std::array<std::int16_t, 128> z{};
    for (unsigned i = 0; i < 128; ++i) {
        std::int64_t v = (1 << 16) % Q;
        for (unsigned e = 0; e < bitrev7(i); ++e) v = v * 17 % Q;
        if (v > Q / 2) v -= Q;
        z[i] = static_cast<std::int16_t>(v);
    }
    return z;
}

constexpr std::array<std::int16_t, 128> ZETAS = make_zetas();
static_assert(ZETAS[0] == -1044 && ZETAS[1] == -758 && ZETAS[127] == 1628);

// floor(n / q) for n < 2^22 by a 64-bit multiply; exact because the error
// of the reciprocal stays below 2^-18 < 1/q over that range.
constexpr std::uint64_t DIV_Q_MUL = ((std::uint64_t{1} << 40) + Q - 1) / Q;
constexpr std::uint32_t div_q(std::uint32_t n) noexcept {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(n) * DIV_Q_MUL) >> 40);
}

// Bit-packing of d-bit values, least significant bit first (Algorithms 5-6),
// a group of G values filling whole bytes (at most 64 bits) at a time.
template <int D>
constexpr int group_values() {
    int g = 1;
    while ((g * D) % 8 != 0) ++g;
    while (2 * g * D <= 64 && N % (2 * g) == 0) g *= 2;
    return g;
}

template <int D>
void pack(std::uint8_t* out, const std::uint16_t* vals) noexcept {
    constexpr int G = group_values<D>(), B = G * D / 8;
    for (int g = 0; g < N / G; ++g) {
        std::uint64_t acc = 0;
        for (int k = 0; k < G; ++k) acc |= static_cast<std::uint64_t>(vals[G * g + k]) << (D * k);
        for (int k = 0; k < B; ++k) out[B * g + k] = static_cast<std::uint8_t>(acc >> (8 * k));
    }
}

template <int D>
void unpack(std::uint16_t* vals, const std::uint8_t* in) noexcept {
    constexpr int G = group_values<D>(), B = G * D / 8;
    for (int g = 0; g < N / G; ++g) {
        std::uint64_t acc = 0;
        for (int k = 0; k < B; ++k) acc |= static_cast<std::uint64_t>(in[B * g + k]) << (8 * k);
        for (int k = 0; k < G; ++k) vals[G * g + k] = static_cast<std::uint16_t>((acc >> (D * k)) & ((1U << D) - 1));
    }
}

static_assert(group_values<1>() == 64 && group_values<4>() == 16 && group_values<10>() == 4);

}  // namespace

std::uint32_t compress(std::uint32_t x, int d) noexcept {
    // round(2^d · x / q) mod 2^d; q is odd, so no value lies exactly halfway.
    return div_q((x << d) + Q / 2) & ((1U << d) - 1);
}

// One layer of Algorithm 9 (forward) or 10 (inverse) with a compile-time
// block length, so that each inner loop is whole vectors. `k` walks the
// zetas as in the standard's loops.
template <unsigned LEN>
inline void ntt_layer(std::int16_t* r, unsigned& k) noexcept {
    for (unsigned start = 0; start < N; start += 2 * LEN) {
        const std::int16_t zeta = ZETAS[k++];
        std::int16_t* lo = r + start;
        std::int16_t* hi = r + start + LEN;
        for (unsigned j = 0; j < LEN; ++j) {
            const std::int16_t t = fqmul(zeta, hi[j]);
            hi[j] = static_cast<std::int16_t>(lo[j] - t);
            lo[j] = static_cast<std::int16_t>(lo[j] + t);
        }
    }
}

template <unsigned LEN>
inline void invntt_layer(std::int16_t* r, unsigned& k) noexcept {
    for (unsigned start = 0; start < N; start += 2 * LEN) {
        const std::int16_t zeta = ZETAS[k--];
        std::int16_t* lo = r + start;
        std::int16_t* hi = r + start + LEN;
        for (unsigned j = 0; j < LEN; ++j) {
            const std::int16_t t = lo[j];
            lo[j] = barrett_reduce(static_cast<std::int16_t>(t + hi[j]));
            hi[j] = fqmul(zeta, static_cast<std::int16_t>(hi[j] - t));
        }
    }
}

QV_MULTIVERSION void ntt(Poly& p) noexcept {
    std::int16_t* r = p.c.data();
    unsigned k = 1;
    ntt_layer<128>(r, k);
    ntt_layer<64>(r, k);
    ntt_layer<32>(r, k);
    ntt_layer<16>(r, k);
    ntt_layer<8>(r, k);
    ntt_layer<4>(r, k);
    ntt_layer<2>(r, k);
    for (auto& x : p.c) x = barrett_reduce(x);
}

QV_MULTIVERSION void invntt(Poly& p) noexcept {
    std::int16_t* r = p.c.data();
    unsigned k = 127;
    invntt_layer<2>(r, k);
    invntt_layer<4>(r, k);
    invntt_layer<8>(r, k);
    invntt_layer<16>(r, k);
    invntt_layer<32>(r, k);
    invntt_layer<64>(r, k);
    invntt_layer<128>(r, k);
    for (auto& x : p.c) x = fqmul(x, INV_NTT_SCALE);
}

QV_MULTIVERSION void basemul_acc(Poly& r, const PolyVec& a, const PolyVec& b) noexcept {
    // BaseCaseMultiply (Algorithm 12) on each degree-one pair; the pairs 2i
    // and 2i+1 use γ = ±zetas[64 + i]. Products are summed in 32 bits and
    // reduced once: with one factor in [0, q) and the other within ±q/2 each
    // term stays below q²/2, so the sums stay below q·2^15.
    std::array<std::int32_t, N> acc{};
    for (int v = 0; v < K; ++v) {
        const std::int16_t* x = a[v].c.data();
        const std::int16_t* y = b[v].c.data();
        for (int i = 0; i < N / 4; ++i) {
            const std::int32_t zeta = ZETAS[64 + i];
            const int o = 4 * i;
            acc[o] += static_cast<std::int32_t>(x[o]) * y[o] + fqmul(x[o + 1], y[o + 1]) * zeta;
            acc[o + 1] += static_cast<std::int32_t>(x[o]) * y[o + 1] + static_cast<std::int32_t>(x[o + 1]) * y[o];
            acc[o + 2] += static_cast<std::int32_t>(x[o + 2]) * y[o + 2] - fqmul(x[o + 3], y[o + 3]) * zeta;
            acc[o + 3] += static_cast<std::int32_t>(x[o + 2]) * y[o + 3] + static_cast<std::int32_t>(x[o + 3]) * y[o + 2];
        }
    }
    for (int i = 0; i < N; ++i) r.c[i] = barrett_reduce(montgomery_reduce(acc[i]));
    secure_zero(acc.data(), sizeof acc);
}

QV_MULTIVERSION void to_mont(Poly& p) noexcept {
    for (auto& x : p.c) x = fqmul(x, R2_MOD_Q);
}

QV_MULTIVERSION void reduce(Poly& p) noexcept {
    for (auto& x : p.c) x = barrett_reduce(x);
}

void add(Poly& r, const Poly& a) noexcept {
    for (int i = 0; i < N; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] + a.c[i]);
}

void sub(Poly& r, const Poly& a, const Poly& b) noexcept {
    for (int i = 0; i < N; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] - b.c[i]);
}

void to_canonical(Poly& p) noexcept {
    for (auto& x : p.c) x = static_cast<std::int16_t>(x + ((x >> 15) & Q));
}

void encode12(std::span<std::uint8_t, POLY_BYTES> out, const Poly& p) noexcept {
    for (int i = 0; i < N / 2; ++i) {
        const auto a = static_cast<std::uint16_t>(p.c[2 * i]);
        const auto b = static_cast<std::uint16_t>(p.c[2 * i + 1]);
        out[3 * i] = static_cast<std::uint8_t>(a);
        out[3 * i + 1] = static_cast<std::uint8_t>((a >> 8) | (b << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(b >> 4);
    }
}

void decode12(Poly& p, std::span<const std::uint8_t, POLY_BYTES> in) noexcept {
    for (int i = 0; i < N / 2; ++i) {
        const std::uint16_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
        std::int32_t v[2] = {b0 | ((b1 & 0x0f) << 8), (b1 >> 4) | (b2 << 4)};
        for (int h = 0; h < 2; ++h) {
            // v - q when v >= q: the sign of (v - q) selects, no branch.
            const std::int32_t d = v[h] - Q;
            v[h] = d + ((d >> 31) & Q);
            p.c[2 * i + h] = static_cast<std::int16_t>(v[h]);
        }
    }
}

template <int D>
void compress_encode(std::span<std::uint8_t, 32 * D> out, const Poly& p) noexcept {
    std::array<std::uint16_t, N> vals;
    for (int i = 0; i < N; ++i) vals[i] = static_cast<std::uint16_t>(compress(static_cast<std::uint32_t>(p.c[i]), D));
    pack<D>(out.data(), vals.data());
    secure_zero(vals.data(), sizeof vals);
}

template <int D>
void decode_decompress(Poly& p, std::span<const std::uint8_t, 32 * D> in) noexcept {
    std::array<std::uint16_t, N> vals;
    unpack<D>(vals.data(), in.data());
    for (int i = 0; i < N; ++i) {
        // round(q · y / 2^d) (FIPS 203, equation 4.8).
        p.c[i] = static_cast<std::int16_t>((static_cast<std::uint32_t>(vals[i]) * Q + (1U << (D - 1))) >> D);
    }
    secure_zero(vals.data(), sizeof vals);
}

template void compress_encode<1>(std::span<std::uint8_t, 32>, const Poly&) noexcept;
template void compress_encode<4>(std::span<std::uint8_t, 128>, const Poly&) noexcept;
template void compress_encode<10>(std::span<std::uint8_t, 320>, const Poly&) noexcept;
template void decode_decompress<1>(Poly&, std::span<const std::uint8_t, 32>) noexcept;
template void decode_decompress<4>(Poly&, std::span<const std::uint8_t, 128>) noexcept;
template void decode_decompress<10>(Poly&, std::span<const std::uint8_t, 320>) noexcept;

void cbd2(Poly& p, std::span<const std::uint8_t, 128> in) noexcept {
    for (int i = 0; i < N / 8; ++i) {
        const std::uint32_t t = static_cast<std::uint32_t>(in[4 * i]) | (static_cast<std::uint32_t>(in[4 * i + 1]) << 8) |
                                (static_cast<std::uint32_t>(in[4 * i + 2]) << 16) |
                                (static_cast<std::uint32_t>(in[4 * i + 3]) << 24);
        // Each 2-bit field of d holds the sum of two adjacent input bits.
        const std::uint32_t d = (t & 0x55555555U) + ((t >> 1) & 0x55555555U);
        for (int j = 0; j < 8; ++j) {
            const auto x = static_cast<std::int16_t>((d >> (4 * j)) & 3U);
            const auto y = static_cast<std::int16_t>((d >> (4 * j + 2)) & 3U);
            p.c[8 * i + j] = static_cast<std::int16_t>(x - y);
        }
    }
}

}  // namespace qv::mlkem
