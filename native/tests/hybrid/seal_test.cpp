#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "hybrid/session.hpp"
#include "memory/policy.hpp"

namespace qv::hybrid {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes to_vec(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(HybridSeal, RoundTripAndTamper) {
    HybridKeyPair kp(generate_identity().value());
    const Bytes pt = text("hello"), aad = text("ad");
    auto seal = seal_hybrid(kp.x25519_public().value(), kp.mlkem768_public().value(), pt, aad).value();
    EXPECT_EQ(seal.ciphertext.size(), pt.size() + 16);
    EXPECT_EQ(to_vec(kp.open(seal.encapsulation, seal.nonce, seal.ciphertext, aad).value().span()), pt);
    for (std::size_t i : {0UL, 31UL, 32UL, 600UL, 1119UL}) {
        auto enc = seal.encapsulation;
        enc[i] ^= 1;
        EXPECT_EQ(render(kp.open(enc, seal.nonce, seal.ciphertext, aad).error()), render(ErrorKind::OpenFailed)) << i;
    }
}

TEST(HybridSeal, OpenChecksRunInOrder) {
    HybridKeyPair kp(generate_identity().value());
    auto seal = seal_hybrid(kp.x25519_public().value(), kp.mlkem768_public().value(), {}, {}).value();
    const Bytes short_nonce(11, 0);
    // The nonce length is examined only after the decapsulation.
    EXPECT_EQ(render(kp.open(seal.encapsulation, short_nonce, seal.ciphertext, {}).error()),
              render(Error::bad_length("aes-gcm nonce", 12, 11)));
    auto zero_eph = seal.encapsulation;
    std::fill(zero_eph.begin(), zero_eph.begin() + 32, 0);
    EXPECT_EQ(render(kp.open(zero_eph, short_nonce, seal.ciphertext, {}).error()), render(ErrorKind::OpenFailed));
    ASSERT_TRUE(kp.wipe().ok());
    EXPECT_EQ(render(kp.open(seal.encapsulation, short_nonce, seal.ciphertext, {}).error()), render(ErrorKind::Wiped));
    EXPECT_EQ(render(kp.open(std::span(seal.encapsulation).first(1119), seal.nonce, seal.ciphertext, {}).error()),
              render(Error::bad_length("encapsulation", 1120, 1119)));
}

TEST(HybridSeal, SealChecksRunInOrder) {
    HybridKeyPair kp(generate_identity().value());
    const Bytes x = to_vec(kp.x25519_public().value()), ml = to_vec(kp.mlkem768_public().value());
    Bytes bad_ml = ml;
    bad_ml[0] = 0xff;
    bad_ml[1] = 0xff;
    EXPECT_EQ(render(seal_hybrid(Bytes(31, 1), Bytes(1183, 0), {}, {}).error()),
              render(Error::bad_length("x25519 public key", 32, 31)));
    EXPECT_EQ(render(seal_hybrid(x, Bytes(1183, 0), {}, {}).error()),
              render(Error::bad_length("ml-kem-768 public key", 1184, 1183)));
    EXPECT_EQ(render(seal_hybrid(Bytes(32, 0), bad_ml, {}, {}).error()), render(Error(ErrorKind::InvalidKey)));
    EXPECT_EQ(render(seal_hybrid(x, bad_ml, {}, {}).error()), render(Error(ErrorKind::InvalidKey)));
}

TEST(HybridSession, RecordsAndRefusals) {
    const std::string k1 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";  // bytes 0..31
    const std::string k31(42, 'A');                                         // 31 zero bytes
    struct Case {
        std::string json;
        std::optional<Error> want;
    };
    const Case cases[] = {
        {R"({"session_id":"s","sign_key":")" + k1 + R"(","enc_key":")" + k1 + R"(","expires_at":-1})", std::nullopt},
        {R"(["s",")" + k1 + R"(",")" + k1 + R"(",9223372036854775807] )", std::nullopt},
        {R"(["s",")" + k1 + R"(",")" + k1 + R"(",9223372036854775808])", Error::malformed("sealed session")},
        {R"({"session_id":"s","sign_key":")" + k1 + R"(","enc_key":""})", Error::malformed("sealed session")},
        {R"({"session_id":"s","sign_key":")" + k31 + R"(","enc_key":"+","expires_at":1})",
         Error::malformed("base64url")},
        {R"({"session_id":"s","sign_key":")" + k31 + R"(","enc_key":"","expires_at":1})",
         Error::bad_length("sign_key", 32, 31)},
    };
    for (const Case& c : cases) {
        const auto before = read_counters().live_secrets;
        auto r = parse_sealed_session(text(c.json));
        if (!c.want) {
            ASSERT_TRUE(r.ok()) << c.json;
            EXPECT_EQ(r->session_id, "s");
            EXPECT_EQ(r->sign_key.bytes().value()[31], 31);
            continue;
        }
        ASSERT_FALSE(r.ok()) << c.json;
        EXPECT_EQ(render(r.error()), render(*c.want)) << c.json;
        EXPECT_EQ(read_counters().live_secrets, before);
    }
}

}  // namespace
}  // namespace qv::hybrid
