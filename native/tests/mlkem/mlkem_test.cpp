// ML-KEM-768 where only the core can be driven: compression on every
// coefficient, and the Wycheproof files that fix the seed.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <span>

#include "mlkem/mlkem.hpp"
#include "mlkem/poly.hpp"
#include "vectors.hpp"

namespace qv::mlkem {
namespace {

using test::field;
using Bytes = std::vector<std::uint8_t>;

Bytes as_vec(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// Runs `check` on every test of a Wycheproof file; returns the count.
int each_case(const std::string& name, const std::function<void(const boost::json::value&)>& check) {
    int n = 0;
    const auto doc = boost::json::parse(test::read_text(test::vector_path("wycheproof/" + name)));
    for (const auto& g : doc.at("testGroups").as_array())
        for (const auto& t : g.at("tests").as_array()) {
            SCOPED_TRACE("tcId " + std::to_string(t.at("tcId").as_int64()));
            check(t), ++n;
        }
    return n;
}

TEST(MlKemCompress, EveryCoefficientRoundsExactly) {
    for (int d : {1, 4, 10}) {
        for (std::uint32_t x = 0; x < Q; ++x) {
            // round(2^d x / q) mod 2^d with exact integer arithmetic.
            const std::uint32_t want = ((x << d) * 2 + Q) / (2 * Q) % (1U << d);
            ASSERT_EQ(compress(x, d), want) << "d=" << d << " x=" << x;
        }
    }
}

// Key generation and decapsulation from the seed (implicit rejection of
// random and bit-flipped ciphertexts included; lengths other than 64 and 1088
// are refused before any key work). The expanded-key and invalid-key files,
// and encapsulation against `cryptography`, run from Python.
TEST(MlKemVectors, KeyGenAndDecapsFromSeed) {
    auto keygen = [](const auto& t, std::array<std::uint8_t, SECRET_KEY_BYTES>& dk) {
        const Bytes seed = field(t, "seed");
        const std::span<const std::uint8_t, 64> s(seed.data(), 64);
        const auto ek = keygen_internal(s.first<32>(), s.last<32>(), dk);
        EXPECT_EQ(as_vec(ek.bytes()), field(t, "ek"));
        return ek;
    };
    std::array<std::uint8_t, SECRET_KEY_BYTES> dk{};
    std::array<std::uint8_t, 32> k{};
    EXPECT_EQ(each_case("mlkem_768_keygen_seed_test.json", [&](const auto& t) {
        keygen(t, dk);
        EXPECT_EQ(as_vec(dk), field(t, "dk"));
    }), 100);
    int valid = 0;
    EXPECT_EQ(each_case("mlkem_768_test.json", [&](const auto& t) {
        const Bytes c = field(t, "c");
        if (field(t, "seed").size() != 64 || c.size() != CIPHERTEXT_BYTES) {
            EXPECT_EQ(t.at("result").as_string(), "invalid");
            return;
        }
        const auto ek = keygen(t, dk);
        decaps_internal(dk, ek, std::span(c).template first<CIPHERTEXT_BYTES>(), k);
        EXPECT_EQ(as_vec(k), field(t, "K"));
        ++valid;
    }), 193);
    EXPECT_EQ(valid, 153);
}

}  // namespace
}  // namespace qv::mlkem
