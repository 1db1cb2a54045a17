#include <gtest/gtest.h>

#include <array>
#include <span>

#include "mlkem/mlkem.hpp"
#include "mlkem/poly.hpp"
#include "vectors.hpp"

namespace qv::mlkem {
namespace {

using test::field;
using test::load_vectors;
using Bytes = std::vector<std::uint8_t>;

Bytes as_vec(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

TEST(MlKemCompress, EveryCoefficientRoundsExactly) {
    for (int d : {1, 4, 10}) {
        for (std::uint32_t x = 0; x < Q; ++x) {
            // round(2^d x / q) mod 2^d with exact integer arithmetic.
            const std::uint32_t want = ((x << d) * 2 + Q) / (2 * Q) % (1U << d);
            ASSERT_EQ(compress(x, d), want) << "d=" << d << " x=" << x;
        }
    }
}

TEST(MlKemCheck, Decode12ReducesAndModulusCheckRefuses) {
    std::array<std::uint8_t, PUBLIC_KEY_BYTES> ek{};
    EXPECT_TRUE(check_encapsulation_key(ek).ok());
    ek[0] = 0x01;  // first coefficient 3329 = q
    ek[1] = 0x0d;
    EXPECT_EQ(check_encapsulation_key(ek).error(), Error(ErrorKind::InvalidKey));
    ek[0] = 0xff;  // 4095
    ek[1] = 0x0f;
    EXPECT_EQ(check_encapsulation_key(ek).error(), Error(ErrorKind::InvalidKey));
    ek[0] = 0x00;
    ek[1] = 0x00;
    ek[2] = 0xd1;  // second coefficient 3344
    EXPECT_EQ(check_encapsulation_key(ek).error(), Error(ErrorKind::InvalidKey));
    ek[2] = 0x00;
    ek[1] = 0x0d;  // 3328 = q - 1
    EXPECT_TRUE(check_encapsulation_key(ek).ok());
    EXPECT_FALSE(check_encapsulation_key(std::span(ek).first(1183)).ok());
}

TEST(MlKemVectors, KeyGenFromSeed) {
    const auto doc = load_vectors("mlkem_768_keygen_seed_test.json");
    int n = 0;
    for (const auto& g : doc.at("testGroups").as_array()) {
        for (const auto& t : g.at("tests").as_array()) {
            const Bytes seed = field(t, "seed");
            ASSERT_EQ(seed.size(), 64U);
            std::array<std::uint8_t, SECRET_KEY_BYTES> dk{};
            const auto ek = keygen_internal(std::span(seed).first<32>(), std::span(seed).subspan<32, 32>(), dk);
            EXPECT_EQ(as_vec(ek.bytes()), field(t, "ek")) << t.at("tcId");
            EXPECT_EQ(as_vec(dk), field(t, "dk")) << t.at("tcId");
            EXPECT_TRUE(check_decapsulation_key(dk).ok());
            ++n;
        }
    }
    EXPECT_EQ(n, 100);
}

TEST(MlKemVectors, Encapsulation) {
    const auto doc = load_vectors("mlkem_768_encaps_test.json");
    int valid = 0, refused = 0;
    for (const auto& g : doc.at("testGroups").as_array()) {
        for (const auto& t : g.at("tests").as_array()) {
            const Bytes ek_bytes = field(t, "ek"), m = field(t, "m");
            auto ek = EncapsulationKey::parse(ek_bytes);
            if (t.at("result").as_string() == "invalid") {
                EXPECT_FALSE(ek.ok()) << t.at("tcId");
                EXPECT_EQ(check_encapsulation_key(ek_bytes).ok(), false) << t.at("tcId");
                ++refused;
                continue;
            }
            ASSERT_TRUE(ek.ok()) << t.at("tcId");
            std::array<std::uint8_t, CIPHERTEXT_BYTES> c{};
            std::array<std::uint8_t, 32> k{};
            ek->encaps(std::span(m).first<32>(), c, k);
            EXPECT_EQ(as_vec(c), field(t, "c")) << t.at("tcId");
            EXPECT_EQ(as_vec(k), field(t, "K")) << t.at("tcId");
            ++valid;
        }
    }
    EXPECT_EQ(valid, 133);
    EXPECT_EQ(refused, 132);
}

// Decapsulation of the pairs generated from a seed, implicit rejection of
// random and bit-flipped ciphertexts included; ciphertext and seed lengths
// other than 1088 and 64 are refused before any key work. The expanded-key
// file runs through HybridKeyPair in tests/test_hybrid_vectors.py.
TEST(MlKemVectors, DecapsulationFromSeed) {
    const auto doc = load_vectors("mlkem_768_test.json");
    int valid = 0, refused = 0;
    for (const auto& g : doc.at("testGroups").as_array()) {
        for (const auto& t : g.at("tests").as_array()) {
            const Bytes seed = field(t, "seed"), c = field(t, "c");
            if (seed.size() != 64 || c.size() != CIPHERTEXT_BYTES) {
                EXPECT_EQ(t.at("result").as_string(), "invalid") << t.at("tcId");
                ++refused;
                continue;
            }
            std::array<std::uint8_t, SECRET_KEY_BYTES> dk{};
            const auto ek = keygen_internal(std::span(seed).first<32>(), std::span(seed).subspan<32, 32>(), dk);
            EXPECT_EQ(as_vec(ek.bytes()), field(t, "ek")) << t.at("tcId");
            std::array<std::uint8_t, 32> k{};
            decaps_internal(dk, ek, std::span(c).first<CIPHERTEXT_BYTES>(), k);
            EXPECT_EQ(as_vec(k), field(t, "K")) << t.at("tcId");
            ++valid;
        }
    }
    EXPECT_EQ(valid, 153);
    EXPECT_EQ(refused, 40);
}

}  // namespace
}  // namespace qv::mlkem
