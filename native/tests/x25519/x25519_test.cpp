#include <gtest/gtest.h>

#include <array>

#include <boost/json.hpp>

#include "vectors.hpp"
#include "x25519/x25519.hpp"

namespace qv::x25519 {
namespace {

using Key = std::array<std::uint8_t, KEY_BYTES>;

Key unhex(boost::json::string_view s) {
    Key out{};
    if (s.size() != 64) ADD_FAILURE() << "bad key length";
    for (std::size_t i = 0; i < 32 && 2 * i + 1 < s.size(); ++i)
        out[i] = static_cast<std::uint8_t>(std::stoi(std::string(s.substr(2 * i, 2)), nullptr, 16));
    return out;
}

// Every Wycheproof case: the shared secret matches, and the cases whose
// result is all zero (small-order and equivalent public keys) are refused,
// with and without the recipient's own public key imported alongside.
TEST(X25519Vectors, EveryCase) {
    const auto doc = test::load_vectors("x25519_test.json");
    int cases = 0, zero = 0;
    for (const auto& g : doc.at("testGroups").as_array()) {
        for (const auto& t : g.at("tests").as_array()) {
            ++cases;
            const Key priv = unhex(t.at("private").as_string());
            const Key peer = unhex(t.at("public").as_string());
            const Key want = unhex(t.at("shared").as_string());
            const bool want_zero = want == Key{};
            Key own{}, shared{}, shared2{}, eph{}, shared3{};
            public_key(priv, own);
            const bool ok = shared_secret(priv, peer, shared);
            const bool ok2 = shared_secret(priv, peer, shared2, own.data());
            const bool ok3 = ephemeral_exchange(priv, peer, eph, shared3);
            EXPECT_EQ(ok, !want_zero) << t.at("tcId");
            EXPECT_EQ(ok2, ok) << t.at("tcId");
            EXPECT_EQ(ok3, ok) << t.at("tcId");
            EXPECT_EQ(shared, want) << t.at("tcId");
            EXPECT_EQ(shared2, want) << t.at("tcId");
            EXPECT_EQ(shared3, want) << t.at("tcId");
            EXPECT_EQ(eph, own);
            zero += want_zero;
        }
    }
    EXPECT_EQ(cases, 518);
    EXPECT_EQ(zero, 31);
}

}  // namespace
}  // namespace qv::x25519
