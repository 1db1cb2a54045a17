// Behaviour of the keyed primitives and box operations beyond the vectors:
// check order, limits, zeroing of rejected plaintext, in-place use.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box/secret_box.hpp"
#include "keyed/aes_gcm.hpp"
#include "keyed/box_ops.hpp"
#include "keyed/mac.hpp"
#include "memory/policy.hpp"

namespace qv {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::size_t n, std::uint8_t fill) { return Bytes(n, fill); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

SecretBox make_box(const Bytes& b) { return SecretBox(LockedRegion::from_slice(b).value()); }

const Error kOpenFailed{ErrorKind::OpenFailed};

TEST(AesGcm, KeyLengthIsCheckedBeforeNonceLength) {
    struct Case { std::size_t key, nonce; Error error; };
    const Case cases[] = {
        {16, 11, Error::bad_length("aes-gcm key", 32, 16)},
        {33, 12, Error::bad_length("aes-gcm key", 32, 33)},
        {32, 11, Error::bad_length("aes-gcm nonce", 12, 11)},
        {32, 16, Error::bad_length("aes-gcm nonce", 12, 16)},
    };
    for (const Case& c : cases) {
        const Bytes key = bytes(c.key, 1), nonce = bytes(c.nonce, 2);
        EXPECT_EQ(render(aes256gcm_seal(key, nonce, text("x"), {}).error()), render(c.error));
        // Length errors come before the short-input check when opening.
        EXPECT_EQ(render(aes256gcm_open(key, nonce, bytes(3, 0), {}).error()), render(c.error));
    }
}

TEST(AesGcm, EmptyPlaintextSealsToTheTagAloneAndShortInputFails) {
    const Bytes key = bytes(32, 7), nonce = bytes(12, 9);
    const Bytes sealed = aes256gcm_seal(key, nonce, {}, text("ad")).value();
    ASSERT_EQ(sealed.size(), 16u);
    EXPECT_EQ(aes256gcm_open(key, nonce, sealed, text("ad")).value().size(), 0u);
    const Bytes short_sealed(sealed.begin(), sealed.end() - 1);
    EXPECT_EQ(render(aes256gcm_open(key, nonce, short_sealed, text("ad")).error()), render(kOpenFailed));
}

TEST(AesGcm, AnyAlteredByteFailsAndLeavesTheOutputZeroed) {
    const Bytes key = bytes(32, 7), nonce = bytes(12, 9), aad = text("header");
    const Bytes sealed = aes256gcm_seal(key, nonce, text("attack at dawn"), aad).value();
    for (std::size_t i = 0; i < sealed.size(); ++i) {
        Bytes bad = sealed;
        bad[i] ^= 0x01;
        Bytes out(bad.size() - 16, 0xAA);
        EXPECT_EQ(render(aes256gcm_open_into(key, nonce, bad, aad, out).error()), render(kOpenFailed)) << i;
        EXPECT_EQ(out, Bytes(out.size(), 0)) << "unauthenticated plaintext left behind at " << i;
    }
    Bytes other_nonce = nonce;
    other_nonce[0] ^= 1;
    EXPECT_EQ(render(aes256gcm_open(key, other_nonce, sealed, aad).error()), render(kOpenFailed));
    EXPECT_EQ(render(aes256gcm_open(key, nonce, sealed, {}).error()), render(kOpenFailed));
}

TEST(AesGcm, SealsAndOpensInPlace) {
    const Bytes key = bytes(32, 3), nonce = bytes(12, 4);
    const Bytes plain = text("in place, both ways");
    Bytes buf = plain;
    buf.resize(plain.size() + 16);
    ASSERT_TRUE(aes256gcm_seal_into(key, nonce, {buf.data(), plain.size()}, {}, buf).ok());
    EXPECT_EQ(buf, aes256gcm_seal(key, nonce, plain, {}).value());
    ASSERT_TRUE(aes256gcm_open_into(key, nonce, buf, {}, {buf.data(), plain.size()}).ok());
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + plain.size()), plain);
}

TEST(Hkdf, LengthBoundsAndDefaultSalt) {
    const Bytes ikm = bytes(20, 0x0b);
    Bytes none(0), max(8160), over(8161);
    EXPECT_EQ(render(hkdf_sha256(ikm, {}, {}, none).error()), render(Error::bad_length("hkdf output length", 8160, 0)));
    EXPECT_EQ(render(hkdf_sha256(ikm, {}, {}, over).error()),
              render(Error::bad_length("hkdf output length", 8160, 8161)));
    ASSERT_TRUE(hkdf_sha256(ikm, {}, text("i"), max).ok());
    Bytes empty_salt(42), zero_salt(42);
    ASSERT_TRUE(hkdf_sha256(ikm, {}, text("i"), empty_salt).ok());
    ASSERT_TRUE(hkdf_sha256(ikm, bytes(32, 0), text("i"), zero_salt).ok());
    EXPECT_EQ(empty_salt, zero_salt);
    EXPECT_TRUE(std::equal(empty_salt.begin(), empty_salt.end(), max.begin()));
}

TEST(BoxOps, BoxStateComesBeforeLengthChecks) {
    SecretBox short_key = make_box(bytes(16, 1));
    ASSERT_TRUE(short_key.wipe().ok());
    const Error wiped{ErrorKind::Wiped};
    EXPECT_EQ(render(box_seal(short_key, bytes(11, 0), text("x"), {}).error()), render(wiped));
    EXPECT_EQ(render(open_sealed(short_key, bytes(11, 0), bytes(3, 0), {}).error()), render(wiped));
    EXPECT_EQ(render(box_hmac_sha512(short_key, text("m")).error()), render(wiped));
    // HKDF allocates its output first: 0 fails there, 9000 at the box.
    EXPECT_EQ(render(box_hkdf_sha256(short_key, {}, {}, 0).error()), render(Error(ErrorKind::EmptySecret)));
    EXPECT_EQ(render(box_hkdf_sha256(short_key, {}, {}, 9000).error()), render(wiped));
    SecretBox live = make_box(bytes(16, 1));
    EXPECT_EQ(render(box_hkdf_sha256(live, {}, {}, 9000).error()),
              render(Error::bad_length("hkdf output length", 8160, 9000)));
}

TEST(BoxOps, FailedOperationsLeaveNoRegion) {
    SecretBox key = make_box(bytes(32, 5));
    const auto before = read_counters().live_secrets;
    EXPECT_FALSE(box_hkdf_sha256(key, {}, {}, 8161).ok());
    EXPECT_FALSE(open_sealed_region(key, bytes(12, 0), bytes(40, 0), {}).ok());
    const Bytes empty_sealed = box_seal(key, bytes(12, 0), {}, {}).value();
    EXPECT_EQ(render(open_sealed_region(key, bytes(12, 0), empty_sealed, {}).error()),
              render(Error(ErrorKind::EmptySecret)));
    EXPECT_EQ(read_counters().live_secrets, before);
}

TEST(BoxOps, SealingABoxUnderItselfDoesNotDeadlock) {
    const Bytes k = bytes(32, 0x42);
    SecretBox key = make_box(k);
    const Bytes nonce = bytes(12, 1);
    EXPECT_EQ(box_seal_secret(key, nonce, key, {}).value(), aes256gcm_seal(k, nonce, k, {}).value());
    SecretBox gone = make_box(k);
    ASSERT_TRUE(gone.wipe().ok());
    EXPECT_EQ(render(box_seal_secret(key, nonce, gone, {}).error()), render(Error(ErrorKind::Wiped)));
}

TEST(BoxOps, HkdfWritesIntoTheRegion) {
    SecretBox ikm = make_box(bytes(22, 0x0b));
    LockedRegion out = box_hkdf_sha256(ikm, {}, text("ctx"), 100).value();
    Bytes expected(100);
    ASSERT_TRUE(hkdf_sha256(bytes(22, 0x0b), {}, text("ctx"), expected).ok());
    const auto view = out.bytes().value();
    EXPECT_EQ(Bytes(view.begin(), view.end()), expected);
}

struct JsonFieldCase {
    const char* name;
    std::string plaintext;
    const char* field;
    Result<Bytes> expected;
};

TEST(BoxOps, JsonFieldOutcomes) {
    const JsonFieldCase cases[] = {
        {"plain", R"({"seed":"AQID"})", "seed", Bytes{1, 2, 3}},
        {"padded", " {\"seed\" : \"AQI=\"}\n", "seed", Bytes{1, 2}},
        {"escaped name", R"({"s\u0065ed":"AQ"})", "seed", Bytes{1}},
        {"last duplicate", R"({"seed":"AQ","seed":"Ag"})", "seed", Bytes{2}},
        {"escaped value", R"({"seed":"A\u0051"})", "seed", Bytes{1}},
        {"other members", R"({"a":[1,{"b":null}],"seed":"AQ","c":-1.5e3})", "seed", Bytes{1}},
        {"array", R"(["AQ"])", "seed", Error::malformed("json object")},
        {"trailing", R"({"seed":"AQ"} {})", "seed", Error::malformed("json object")},
        {"malformed after member", R"({"seed":"AQ",})", "seed", Error::malformed("json object")},
        {"missing", R"({"Seed":"AQ"})", "seed", Error::malformed("json field")},
        {"number", R"({"seed":1})", "seed", Error::malformed("json field")},
        {"duplicate ends as null", R"({"seed":"AQ","seed":null})", "seed", Error::malformed("json field")},
        {"standard alphabet", R"({"seed":"+/"})", "seed", Error::malformed("base64url")},
        {"empty", R"({"seed":"=="})", "seed", Error(ErrorKind::EmptySecret)},
    };
    const Bytes nonce = bytes(12, 8);
    SecretBox key = make_box(bytes(32, 6));
    for (const JsonFieldCase& c : cases) {
        const Bytes sealed = box_seal(key, nonce, text(c.plaintext), {}).value();
        auto got = open_json_field(key, nonce, sealed, {}, c.field);
        if (c.expected.ok()) {
            ASSERT_TRUE(got.ok()) << c.name;
            const auto view = got->bytes().value();
            EXPECT_EQ(Bytes(view.begin(), view.end()), c.expected.value()) << c.name;
        } else {
            ASSERT_FALSE(got.ok()) << c.name;
            EXPECT_EQ(render(got.error()), render(c.expected.error())) << c.name;
        }
    }
    // A seal that does not open is reported before anything is parsed.
    EXPECT_EQ(render(open_json_field(key, nonce, bytes(20, 0), {}, "seed").error()), render(kOpenFailed));
}

}  // namespace
}  // namespace qv
