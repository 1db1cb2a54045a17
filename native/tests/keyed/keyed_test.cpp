// What the Python tests cannot see of AES-256-GCM: a rejected open leaves
// no unauthenticated plaintext in the output, and the in-place forms that
// the binding uses give the same bytes as the copying ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keyed/aes_gcm.hpp"

namespace qv {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(AesGcm, AnyAlteredByteFailsAndLeavesTheOutputZeroed) {
    const Bytes key(32, 7), nonce(12, 9), aad = text("header");
    const Bytes sealed = aes256gcm_seal(key, nonce, text("attack at dawn"), aad).value();
    for (std::size_t i = 0; i < sealed.size(); ++i) {
        Bytes bad = sealed;
        bad[i] ^= 0x01;
        Bytes out(bad.size() - 16, 0xAA);
        EXPECT_EQ(aes256gcm_open_into(key, nonce, bad, aad, out).error(), Error(ErrorKind::OpenFailed)) << i;
        EXPECT_EQ(out, Bytes(out.size(), 0)) << "unauthenticated plaintext left behind at " << i;
    }
}

TEST(AesGcm, SealsAndOpensInPlace) {
    const Bytes key(32, 3), nonce(12, 4);
    const Bytes plain = text("in place, both ways");
    Bytes buf = plain;
    buf.resize(plain.size() + 16);
    ASSERT_TRUE(aes256gcm_seal_into(key, nonce, {buf.data(), plain.size()}, {}, buf).ok());
    EXPECT_EQ(buf, aes256gcm_seal(key, nonce, plain, {}).value());
    ASSERT_TRUE(aes256gcm_open_into(key, nonce, buf, {}, {buf.data(), plain.size()}).ok());
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + plain.size()), plain);
}

}  // namespace
}  // namespace qv
