// ML-KEM-768 where only the core can be driven: compression on every
// coefficient, the modulus check at its boundary, and the Wycheproof files
// that fix the seed or the message m.
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
    const boost::json::value doc = test::load_vectors(name);
    for (const auto& g : doc.at("testGroups").as_array()) {
        for (const auto& t : g.at("tests").as_array()) {
            SCOPED_TRACE("tcId " + std::to_string(t.at("tcId").as_int64()));
            check(t);
            ++n;
        }
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

TEST(MlKemCheck, ModulusCheckRefusesEveryCoefficientFromQ) {
    struct Case { std::size_t at; std::uint8_t b0, b1; bool ok; };
    const Case cases[] = {
        {0, 0x00, 0x0d, true},   // first coefficient 3328 = q - 1
        {0, 0x01, 0x0d, false},  // 3329 = q
        {0, 0xff, 0x0f, false},  // 4095
        {1, 0x00, 0xd1, false},  // second coefficient 3344
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, PUBLIC_KEY_BYTES> ek{};
        ek[c.at] = c.b0;
        ek[c.at + 1] = c.b1;
        EXPECT_EQ(check_encapsulation_key(ek).ok(), c.ok) << c.at << " " << int(c.b0);
    }
    const std::array<std::uint8_t, PUBLIC_KEY_BYTES - 1> short_ek{};
    EXPECT_FALSE(check_encapsulation_key(short_ek).ok());
}

TEST(MlKemVectors, KeyGenFromSeed) {
    EXPECT_EQ(each_case("mlkem_768_keygen_seed_test.json", [](const auto& t) {
        const Bytes seed = field(t, "seed");
        std::array<std::uint8_t, SECRET_KEY_BYTES> dk{};
        const auto ek = keygen_internal(std::span(seed).template first<32>(), std::span(seed).template subspan<32, 32>(), dk);
        EXPECT_EQ(as_vec(ek.bytes()), field(t, "ek"));
        EXPECT_EQ(as_vec(dk), field(t, "dk"));
        EXPECT_TRUE(check_decapsulation_key(dk).ok());
    }), 100);
}

TEST(MlKemVectors, EncapsulationWithGivenM) {
    int valid = 0;
    const int n = each_case("mlkem_768_encaps_test.json", [&](const auto& t) {
        const Bytes ek_bytes = field(t, "ek"), m = field(t, "m");
        auto ek = EncapsulationKey::parse(ek_bytes);
        if (t.at("result").as_string() == "invalid") {
            EXPECT_FALSE(ek.ok());
            EXPECT_FALSE(check_encapsulation_key(ek_bytes).ok());
            return;
        }
        ASSERT_TRUE(ek.ok());
        std::array<std::uint8_t, CIPHERTEXT_BYTES> c{};
        std::array<std::uint8_t, 32> k{};
        ek->encaps(std::span(m).template first<32>(), c, k);
        EXPECT_EQ(as_vec(c), field(t, "c"));
        EXPECT_EQ(as_vec(k), field(t, "K"));
        ++valid;
    });
    EXPECT_EQ(valid, 133);
    EXPECT_EQ(n, 265);
}

// Decapsulation of the pairs generated from a seed, implicit rejection of
// random and bit-flipped ciphertexts included; ciphertext and seed lengths
// other than 1088 and 64 are refused before any key work. The expanded-key
// file runs through HybridKeyPair in tests/test_hybrid_vectors.py.
TEST(MlKemVectors, DecapsulationFromSeed) {
    int valid = 0;
    const int n = each_case("mlkem_768_test.json", [&](const auto& t) {
        const Bytes seed = field(t, "seed"), c = field(t, "c");
        if (seed.size() != 64 || c.size() != CIPHERTEXT_BYTES) {
            EXPECT_EQ(t.at("result").as_string(), "invalid");
            return;
        }
        std::array<std::uint8_t, SECRET_KEY_BYTES> dk{};
        const auto ek = keygen_internal(std::span(seed).template first<32>(), std::span(seed).template subspan<32, 32>(), dk);
        EXPECT_EQ(as_vec(ek.bytes()), field(t, "ek"));
        std::array<std::uint8_t, 32> k{};
        decaps_internal(dk, ek, std::span(c).template first<CIPHERTEXT_BYTES>(), k);
        EXPECT_EQ(as_vec(k), field(t, "K"));
        ++valid;
    });
    EXPECT_EQ(valid, 153);
    EXPECT_EQ(n, 193);
}

}  // namespace
}  // namespace qv::mlkem
