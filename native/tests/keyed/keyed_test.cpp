// What the Python tests cannot see of AES-256-GCM: a rejected open leaves
// no unauthenticated plaintext in the output.
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

}  // namespace
}  // namespace qv
