#include "mlkem/symmetric.hpp"

#include <openssl/err.h>

#include "error/error.hpp"
#include "memory/zeroize.hpp"

namespace qv::mlkem {

namespace {

constexpr std::size_t SHAKE128_RATE = 168;

}  // namespace

Hasher::Hasher() : ctx_(evp::new_md_ctx()) {}

void Hasher::run(const EVP_MD* md, std::initializer_list<Bytes> in, std::uint8_t* out, std::size_t len, bool xof) {
    bool ok = EVP_DigestInit_ex2(ctx_.get(), md, nullptr) == 1;
    for (const Bytes& part : in) ok = ok && EVP_DigestUpdate(ctx_.get(), part.data(), part.size()) == 1;
    if (xof) {
        ok = ok && EVP_DigestFinalXOF(ctx_.get(), out, len) == 1;
    } else {
        unsigned int n = 0;
        ok = ok && EVP_DigestFinal_ex(ctx_.get(), out, &n) == 1 && n == len;
    }
    if (!ok) {
        ERR_clear_error();
        fault("SHA-3 computation failed");
    }
}

void Hasher::h(std::span<std::uint8_t, 32> out, std::initializer_list<Bytes> in) {
    run(evp::sha3_256(), in, out.data(), out.size(), false);
}

void Hasher::g(std::span<std::uint8_t, 64> out, std::initializer_list<Bytes> in) {
    run(evp::sha3_512(), in, out.data(), out.size(), false);
}

void Hasher::j(std::span<std::uint8_t, 32> out, std::initializer_list<Bytes> in) {
    run(evp::shake256(), in, out.data(), out.size(), true);
}

void Hasher::prf(std::span<std::uint8_t, 128> out, std::span<const std::uint8_t, 32> s, std::uint8_t b) {
    run(evp::shake256(), {s, Bytes(&b, 1)}, out.data(), out.size(), true);
}

void Hasher::sample_ntt(Poly& out, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    const std::uint8_t idx[2] = {j, i};
    // OpenSSL 3.0 can only finalise a SHAKE stream once, so squeeze three
    // blocks (enough in about 99% of cases) and, when the sampler runs dry,
    // hash again with a longer output: SHAKE's output for a longer length
    // extends the shorter one, so the samples stay exactly FIPS 203's.
    std::uint8_t buf[SHAKE128_RATE * 12];
    std::size_t have = SHAKE128_RATE * 3;
    run(evp::shake128(), {rho, Bytes(idx, 2)}, buf, have, true);
    int n = 0;
    std::size_t pos = 0;
    while (n < N) {
        if (pos + 3 > have) {
            if (have == sizeof buf) fault("SampleNTT ran out of SHAKE128 output");
            have = std::min(sizeof buf, have * 2);
            run(evp::shake128(), {rho, Bytes(idx, 2)}, buf, have, true);
        }
        const std::uint16_t d1 = static_cast<std::uint16_t>(buf[pos] | ((buf[pos + 1] & 0x0f) << 8));
        const std::uint16_t d2 = static_cast<std::uint16_t>((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
        pos += 3;
        if (d1 < Q) out.c[n++] = static_cast<std::int16_t>(d1);
        if (d2 < Q && n < N) out.c[n++] = static_cast<std::int16_t>(d2);
    }
}

void expand_matrix(PolyMatrix& a, std::span<const std::uint8_t, 32> rho, Hasher& hasher) {
    for (int i = 0; i < K; ++i)
        for (int j = 0; j < K; ++j)
            hasher.sample_ntt(a[i][j], rho, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i));
}

}  // namespace qv::mlkem
