#include "mlkem/mlkem.hpp"

#include <cstring>

#include "crypto/ct.hpp"
#include "memory/zeroize.hpp"
#include "mlkem/scrub.hpp"
#include "mlkem/symmetric.hpp"

namespace qv::mlkem {

namespace {

using Seed = std::array<std::uint8_t, 32>;

std::span<const std::uint8_t, POLY_BYTES> poly_bytes(std::span<const std::uint8_t> b, int i) {
    return b.subspan(static_cast<std::size_t>(i) * POLY_BYTES).first<POLY_BYTES>();
}

std::span<std::uint8_t, POLY_BYTES> poly_bytes(std::span<std::uint8_t> b, int i) {
    return b.subspan(static_cast<std::size_t>(i) * POLY_BYTES).first<POLY_BYTES>();
}

// Modulus check (FIPS 203 section 7.2) of the 1152 t̂ bytes, decoding into t.
bool decode_checked(PolyVec& t, std::span<const std::uint8_t> t_bytes) {
    std::array<std::uint8_t, POLY_BYTES> again;
    bool same = true;
    for (int i = 0; i < K; ++i) {
        decode12(t[i], poly_bytes(t_bytes, i));
        encode12(again, t[i]);
        same = same && std::memcmp(again.data(), poly_bytes(t_bytes, i).data(), POLY_BYTES) == 0;
    }
    return same;
}

}  // namespace

Status check_encapsulation_key(std::span<const std::uint8_t> ek) {
    if (ek.size() != PUBLIC_KEY_BYTES) return ErrorKind::InvalidKey;
    PolyVec t;
    if (!decode_checked(t, ek.first(K * POLY_BYTES))) return ErrorKind::InvalidKey;
    return {};
}

Result<std::unique_ptr<EncapsulationKey>> EncapsulationKey::parse_on_heap(std::span<const std::uint8_t> ek) {
    if (ek.size() != PUBLIC_KEY_BYTES) return ErrorKind::InvalidKey;
    std::unique_ptr<EncapsulationKey> key(new EncapsulationKey);
    if (!decode_checked(key->t_hat_, ek.first(K * POLY_BYTES))) return ErrorKind::InvalidKey;
    std::memcpy(key->ek_.data(), ek.data(), PUBLIC_KEY_BYTES);
    Hasher hasher;
    hasher.h(key->h_, {ek});
    expand_matrix(key->a_hat_, std::span(key->ek_).subspan<K * POLY_BYTES, 32>(), hasher);
    return key;
}

Result<EncapsulationKey> EncapsulationKey::parse(std::span<const std::uint8_t> ek) {
    QV_ASSIGN(const std::unique_ptr<EncapsulationKey> key, parse_on_heap(ek));
    return *key;
}

Status check_decapsulation_key(std::span<const std::uint8_t> dk) {
    if (dk.size() != SECRET_KEY_BYTES) return ErrorKind::InvalidKey;
    const auto ek = dk.subspan(DK_EK_OFFSET, PUBLIC_KEY_BYTES);
    QV_CHECK(check_encapsulation_key(ek));
    // Hash check (FIPS 203 section 7.3): the stored H(ek) must match.
    Seed h;
    Hasher hasher;
    hasher.h(h, {ek});
    if (std::memcmp(h.data(), dk.data() + DK_HASH_OFFSET, 32) != 0) return ErrorKind::InvalidKey;
    return {};
}

Result<EncapsulationKey> decapsulation_key_public(std::span<const std::uint8_t> dk) {
    QV_CHECK(check_decapsulation_key(dk));
    return EncapsulationKey::parse(dk.subspan(DK_EK_OFFSET, PUBLIC_KEY_BYTES));
}

EncapsulationKey keygen_internal(std::span<const std::uint8_t, SEED_BYTES> d,
                                 std::span<const std::uint8_t, SEED_BYTES> z,
                                 std::span<std::uint8_t, SECRET_KEY_BYTES> dk) {
    Hasher hasher;
    EncapsulationKey key;

    // K-PKE.KeyGen(d) (Algorithm 13): (ρ, σ) = G(d ‖ k).
    Scrubbed<std::array<std::uint8_t, 64>> rho_sigma;
    const std::uint8_t k_byte = K;
    hasher.g(rho_sigma.v, {d, Bytes(&k_byte, 1)});
    const auto rho = std::span<const std::uint8_t>(rho_sigma.v).first<32>();
    const auto sigma = std::span<const std::uint8_t>(rho_sigma.v).subspan<32, 32>();
    expand_matrix(key.a_hat_, rho, hasher);

    Scrubbed<PolyVec> s, e;
    Scrubbed<std::array<std::uint8_t, 128>> prf;
    std::uint8_t n = 0;
    for (auto& p : s.v) {
        hasher.prf(prf.v, sigma, n++);
        cbd2(p, prf.v);
        ntt(p);
    }
    for (auto& p : e.v) {
        hasher.prf(prf.v, sigma, n++);
        cbd2(p, prf.v);
        ntt(p);
    }

    // t̂ = Â ∘ ŝ + ê.
    for (int i = 0; i < K; ++i) {
        Poly& t = key.t_hat_[i];
        basemul_acc(t, key.a_hat_[i], s.v);
        to_mont(t);
        add(t, e.v[i]);
        reduce(t);
        to_canonical(t);
        encode12(poly_bytes(std::span<std::uint8_t>(key.ek_), i), t);
    }
    std::memcpy(key.ek_.data() + K * POLY_BYTES, rho.data(), 32);
    hasher.h(key.h_, {key.ek_});

    // dk = dk_PKE ‖ ek ‖ H(ek) ‖ z (Algorithm 16).
    for (int i = 0; i < K; ++i) {
        to_canonical(s.v[i]);
        encode12(poly_bytes(std::span<std::uint8_t>(dk), i), s.v[i]);
    }
    std::memcpy(dk.data() + DK_EK_OFFSET, key.ek_.data(), PUBLIC_KEY_BYTES);
    std::memcpy(dk.data() + DK_HASH_OFFSET, key.h_.data(), 32);
    std::memcpy(dk.data() + DK_Z_OFFSET, z.data(), 32);
    return key;
}

void EncapsulationKey::encrypt(std::span<std::uint8_t, CIPHERTEXT_BYTES> c, std::span<const std::uint8_t, 32> m,
                               std::span<const std::uint8_t, 32> r, Hasher& hasher) const {
    // K-PKE.Encrypt (Algorithm 14). y, e1, e2 and everything computed from
    // them are secret: in Decaps they derive from the decrypted message.
    Scrubbed<PolyVec> y, u;
    Scrubbed<Poly> e2, v, mu;
    Scrubbed<std::array<std::uint8_t, 128>> prf;
    std::uint8_t n = 0;
    for (auto& p : y.v) {
        hasher.prf(prf.v, r, n++);
        cbd2(p, prf.v);
        ntt(p);
    }
    // u = NTT^-1(Â^T ∘ ŷ) + e1.
    for (int i = 0; i < K; ++i) {
        PolyVec column;
        for (int j = 0; j < K; ++j) column[j] = a_hat_[j][i];
        basemul_acc(u.v[i], column, y.v);
        invntt(u.v[i]);
        hasher.prf(prf.v, r, n++);
        Scrubbed<Poly> e1;
        cbd2(e1.v, prf.v);
        add(u.v[i], e1.v);
        reduce(u.v[i]);
        to_canonical(u.v[i]);
    }
    hasher.prf(prf.v, r, n);
    cbd2(e2.v, prf.v);
    // v = NTT^-1(t̂^T ∘ ŷ) + e2 + Decompress_1(m).
    basemul_acc(v.v, t_hat_, y.v);
    invntt(v.v);
    decode_decompress<1>(mu.v, m);
    add(v.v, e2.v);
    add(v.v, mu.v);
    reduce(v.v);
    to_canonical(v.v);

    for (int i = 0; i < K; ++i)
        compress_encode<DU>(c.subspan(static_cast<std::size_t>(i) * 32 * DU).first<32 * DU>(), u.v[i]);
    compress_encode<DV>(c.subspan<K * 32 * DU, 32 * DV>(), v.v);
}

void EncapsulationKey::encaps(std::span<const std::uint8_t, 32> m, std::span<std::uint8_t, CIPHERTEXT_BYTES> c,
                              std::span<std::uint8_t, SHARED_SECRET_BYTES> k) const {
    // (K, r) = G(m ‖ H(ek)); c = K-PKE.Encrypt(ek, m, r) (Algorithm 17).
    Hasher hasher;
    Scrubbed<std::array<std::uint8_t, 64>> kr;
    hasher.g(kr.v, {m, h_});
    encrypt(c, m, std::span<const std::uint8_t>(kr.v).subspan<32, 32>(), hasher);
    std::memcpy(k.data(), kr.v.data(), 32);
}

void decaps_internal(std::span<const std::uint8_t, SECRET_KEY_BYTES> dk, const EncapsulationKey& ek,
                     std::span<const std::uint8_t, CIPHERTEXT_BYTES> c,
                     std::span<std::uint8_t, SHARED_SECRET_BYTES> k) {
    if (std::memcmp(dk.data() + DK_EK_OFFSET, ek.ek_.data(), PUBLIC_KEY_BYTES) != 0)
        fault("decapsulation key does not embed the prepared encapsulation key");
    Hasher hasher;

    // m' = K-PKE.Decrypt(dk_PKE, c) (Algorithm 15).
    Scrubbed<PolyVec> s;
    Scrubbed<Poly> w;
    Scrubbed<std::array<std::uint8_t, 32>> m;
    {
        PolyVec u;
        for (int i = 0; i < K; ++i) {
            decode_decompress<DU>(u[i], c.subspan(static_cast<std::size_t>(i) * 32 * DU).first<32 * DU>());
            ntt(u[i]);
        }
        Poly v;
        decode_decompress<DV>(v, c.subspan<K * 32 * DU, 32 * DV>());
        for (int i = 0; i < K; ++i) decode12(s.v[i], poly_bytes(std::span<const std::uint8_t>(dk), i));
        Scrubbed<Poly> su;
        basemul_acc(su.v, s.v, u);
        invntt(su.v);
        sub(w.v, v, su.v);
        reduce(w.v);
        to_canonical(w.v);
        compress_encode<1>(m.v, w.v);
    }

    // (K', r') = G(m' ‖ h); K̄ = J(z ‖ c); c' = K-PKE.Encrypt(ek, m', r').
    Scrubbed<std::array<std::uint8_t, 64>> kr;
    hasher.g(kr.v, {m.v, dk.subspan<DK_HASH_OFFSET, 32>()});
    Scrubbed<std::array<std::uint8_t, 32>> k_bar;
    hasher.j(k_bar.v, {dk.subspan<DK_Z_OFFSET, 32>(), c});
    Scrubbed<std::array<std::uint8_t, CIPHERTEXT_BYTES>> c2;
    ek.encrypt(c2.v, m.v, std::span<const std::uint8_t>(kr.v).subspan<32, 32>(), hasher);

    // K = K' if c' == c else K̄, with a mask instead of a branch.
    const auto same = static_cast<std::uint8_t>(ct::equal(c2.v.data(), c.data(), CIPHERTEXT_BYTES));
    const std::uint8_t mask = ct::barrier(static_cast<std::uint8_t>(0U - same));
    for (std::size_t i = 0; i < SHARED_SECRET_BYTES; ++i)
        k[i] = static_cast<std::uint8_t>((kr.v[i] & mask) | (k_bar.v[i] & static_cast<std::uint8_t>(~mask)));
}

}  // namespace qv::mlkem
