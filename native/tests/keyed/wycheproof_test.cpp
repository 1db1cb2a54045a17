// Wycheproof vectors for HMAC-SHA512, HKDF-SHA256 and AES-256-GCM.
#include <gtest/gtest.h>

#include "keyed/aes_gcm.hpp"
#include "keyed/mac.hpp"
#include "vectors.hpp"

namespace qv {
namespace {

using test::hex_field;
using test::load_vectors;

TEST(Wycheproof, HmacSha512EveryCase) {
    const auto doc = load_vectors("wycheproof/hmac_sha512_test.json");
    int cases = 0;
    for (const auto& group : doc.at("testGroups").as_array()) {
        const std::size_t tag_bytes = static_cast<std::size_t>(group.at("tagSize").as_int64()) / 8;
        for (const auto& t : group.at("tests").as_array()) {
            const auto tag = hmac_sha512(hex_field(t, "key"), hex_field(t, "msg"));
            const auto expected = hex_field(t, "tag");
            // Truncated-tag groups compare the leading bytes of the full tag.
            const bool same = expected.size() == tag_bytes &&
                              std::equal(expected.begin(), expected.end(), tag.begin());
            EXPECT_EQ(same, t.at("result").as_string() == "valid") << "tcId " << t.at("tcId");
            ++cases;
        }
    }
    EXPECT_EQ(cases, doc.at("numberOfTests").as_int64());
}

TEST(Wycheproof, HkdfSha256EveryCase) {
    const auto doc = load_vectors("wycheproof/hkdf_sha256_test.json");
    int cases = 0;
    for (const auto& group : doc.at("testGroups").as_array()) {
        for (const auto& t : group.at("tests").as_array()) {
            const auto size = static_cast<std::size_t>(t.at("size").as_int64());
            std::vector<std::uint8_t> out(size);
            const Status s = hkdf_sha256(hex_field(t, "ikm"), hex_field(t, "salt"), hex_field(t, "info"), out);
            if (t.at("result").as_string() == "valid") {
                ASSERT_TRUE(s.ok()) << "tcId " << t.at("tcId");
                EXPECT_EQ(out, hex_field(t, "okm")) << "tcId " << t.at("tcId");
            } else {
                ASSERT_GT(size, HKDF_SHA256_MAX_OUTPUT) << "tcId " << t.at("tcId");
                ASSERT_FALSE(s.ok());
                EXPECT_EQ(render(s.error()), render(Error::bad_length("hkdf output length", 8160, size)));
                EXPECT_EQ(out, std::vector<std::uint8_t>(size)) << "nothing written";
            }
            ++cases;
        }
    }
    EXPECT_EQ(cases, doc.at("numberOfTests").as_int64());
}

TEST(Wycheproof, AesGcm256Iv96Tag128) {
    const auto doc = load_vectors("wycheproof/aes_gcm_test.json");
    int valid = 0, invalid = 0;
    for (const auto& group : doc.at("testGroups").as_array()) {
        if (group.at("keySize").as_int64() != 256 || group.at("ivSize").as_int64() != 96 ||
            group.at("tagSize").as_int64() != 128) continue;
        for (const auto& t : group.at("tests").as_array()) {
            const auto key = hex_field(t, "key"), iv = hex_field(t, "iv"), aad = hex_field(t, "aad");
            const auto msg = hex_field(t, "msg");
            auto sealed = hex_field(t, "ct");
            const auto tag = hex_field(t, "tag");
            sealed.insert(sealed.end(), tag.begin(), tag.end());
            auto opened = aes256gcm_open(key, iv, sealed, aad);
            if (t.at("result").as_string() == "valid") {
                auto out = aes256gcm_seal(key, iv, msg, aad);
                ASSERT_TRUE(out.ok()) << "tcId " << t.at("tcId");
                EXPECT_EQ(out.value(), sealed) << "tcId " << t.at("tcId");
                ASSERT_TRUE(opened.ok()) << "tcId " << t.at("tcId");
                EXPECT_TRUE(std::equal(msg.begin(), msg.end(), opened->data(), opened->data() + opened->size()));
                EXPECT_EQ(opened->size(), msg.size());
                ++valid;
            } else {
                ASSERT_FALSE(opened.ok()) << "tcId " << t.at("tcId");
                EXPECT_EQ(render(opened.error()), render(Error(ErrorKind::OpenFailed)));
                ++invalid;
            }
        }
    }
    EXPECT_GT(valid, 0);
    EXPECT_GT(invalid, 0);
}

}  // namespace
}  // namespace qv
