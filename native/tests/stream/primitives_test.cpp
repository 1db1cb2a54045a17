// The XChaCha20-Poly1305 AEAD composed from our HChaCha20 and OpenSSL's
// ChaCha20 and Poly1305 against Wycheproof, so each primitive the stream uses
// is held against published vectors: HChaCha20 is our own code, and this pins
// it independently of any peer.
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/ct.hpp"
#include "stream/chacha.hpp"
#include "vectors.hpp"

namespace qv::chacha {
namespace {

using Bytes = std::vector<std::uint8_t>;

// AEAD_XChaCha20_Poly1305 (draft-irtf-cfrg-xchacha section 2): subkey from
// HChaCha20, nonce 0^4 ‖ iv[16..24], Poly1305 key from block 0, data from
// block 1, MAC over ad ‖ pad16 ‖ ct ‖ pad16 ‖ le64(adlen) ‖ le64(ctlen).
Bytes pad16(std::size_t n) { return Bytes((16 - n % 16) % 16, 0); }

Bytes le64(std::uint64_t v) {
    Bytes out(8);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return out;
}

Bytes xchacha_poly1305_tag(ChaCha20& cipher, const Bytes& aad, const Bytes& ct) {
    std::uint8_t block0[64] = {};
    cipher.apply(block0, block0, 64);
    Poly1305 mac(block0);
    for (const Bytes& piece : {aad, pad16(aad.size()), ct, pad16(ct.size()), le64(aad.size()), le64(ct.size())})
        mac.update(piece.data(), piece.size());
    Bytes tag(16);
    mac.finish(tag.data());
    return tag;
}

void start(ChaCha20& cipher, const Bytes& key, const Bytes& iv, std::uint32_t block) {
    std::uint8_t subkey[32];
    hchacha20(subkey, key.data(), iv.data());
    std::uint8_t nonce[12] = {};
    std::copy(iv.begin() + 16, iv.end(), nonce + 4);
    std::uint8_t civ[16];
    make_iv(civ, block, nonce);
    cipher.start(subkey, civ);
}

TEST(XChaCha20Poly1305, WycheproofThroughOurComposition) {
    const auto path = test::vector_path("wycheproof/xchacha20_poly1305_test.json");
    const auto doc = boost::json::parse(test::read_text(path)).as_object();
    int checked = 0;
    for (const auto& group : doc.at("testGroups").as_array()) {
        // The other groups test IV sizes the composition cannot take.
        if (group.at("ivSize").as_int64() != 192) continue;
        for (const auto& t : group.at("tests").as_array()) {
            const auto& o = t.as_object();
            auto field = [&](const char* name) { return test::field(t, name); };
            const Bytes key = field("key"), iv = field("iv"), aad = field("aad"), msg = field("msg");
            const Bytes ct = field("ct"), tag = field("tag");
            const bool valid = o.at("result").as_string() == "valid";
            SCOPED_TRACE("tcId " + std::to_string(o.at("tcId").as_int64()));

            // Verify the received tag in constant time, decrypt only when it
            // matches. The keystream is XORed, so ct opening to msg is the same
            // check as msg sealing to ct.
            ChaCha20 auth;
            start(auth, key, iv, 0);
            const Bytes expected = xchacha_poly1305_tag(auth, aad, ct);
            const bool opens = ct::equal(expected, tag);
            EXPECT_EQ(opens, valid);
            if (opens) {
                ChaCha20 data;
                start(data, key, iv, 1);
                Bytes pt(ct.size());
                data.apply(ct.data(), pt.data(), ct.size());
                EXPECT_EQ(pt, msg);
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 306);
}

}  // namespace
}  // namespace qv::chacha
