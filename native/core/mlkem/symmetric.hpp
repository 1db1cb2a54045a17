// The hash functions of ML-KEM (FIPS 203, section 4.1) over OpenSSL's
// SHA-3 family: H = SHA3-256, G = SHA3-512, J and PRF = SHAKE256, and the
// SHAKE128 stream behind SampleNTT. One Hasher owns one EVP_MD_CTX and is
// reused for every hash of one KEM operation; it is not shared.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "crypto/evp.hpp"
#include "mlkem/poly.hpp"

namespace qv::mlkem {

using Bytes = std::span<const std::uint8_t>;

class Hasher {
public:
    Hasher();

    void h(std::span<std::uint8_t, 32> out, std::initializer_list<Bytes> in);
    void g(std::span<std::uint8_t, 64> out, std::initializer_list<Bytes> in);
    void j(std::span<std::uint8_t, 32> out, std::initializer_list<Bytes> in);
    // PRF_2(s, b) = SHAKE256(s ‖ b, 128 bytes).
    void prf(std::span<std::uint8_t, 128> out, std::span<const std::uint8_t, 32> s, std::uint8_t b);
    // SampleNTT(ρ ‖ j ‖ i) (Algorithm 7). ρ is public, so rejection sampling
    // may take a data-dependent number of steps.
    void sample_ntt(Poly& out, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i);

private:
    void run(const EVP_MD* md, std::initializer_list<Bytes> in, std::uint8_t* out, std::size_t len, bool xof);

    evp::MdCtx ctx_;
};

// Â (row-major, a[i][j] = SampleNTT(ρ ‖ j ‖ i)).
void expand_matrix(PolyMatrix& a, std::span<const std::uint8_t, 32> rho, Hasher& hasher);

}  // namespace qv::mlkem
