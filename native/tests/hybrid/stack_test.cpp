// The native stack each hybrid operation uses, measured on a painted thread
// stack (a fresh thread: no recipient key cached yet). Python threads may be
// as small as 32 KiB, and the interpreter's own frames need part of that.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "hybrid/seal.hpp"
#include "hybrid/session.hpp"
#include "stack_probe.hpp"

namespace qv::hybrid {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kBudget = 24 * 1024;  // instrumented frames are larger
#else
constexpr std::size_t kBudget = 16 * 1024;
#endif

TEST(HybridStack, EveryOperationFitsASmallThread) {
    test::PaintedStack stack(256 * 1024);
    const std::size_t base = stack.run([] {});
    HybridKeyPair kp(generate_identity().value());
    const auto x_pub = kp.x25519_public().value();
    const auto m_pub = kp.mlkem768_public().value();
    const std::string k = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
    const std::string record =
        R"({"session_id":"s","sign_key":")" + k + R"(","enc_key":")" + k + R"(","expires_at":1})";
    const auto sealed = seal_hybrid(x_pub, m_pub, {reinterpret_cast<const std::uint8_t*>(record.data()), record.size()},
                                    {}).value();
    const std::pair<const char*, std::function<void()>> ops[] = {
        {"generate", [] { ASSERT_TRUE(generate_identity().ok()); }},
        {"from_secrets", [&] {
             SecretBox x(kp.x25519_secret().value()), m(kp.mlkem768_secret().value());
             ASSERT_TRUE(identity_from_secrets(x, m).ok());
         }},
        {"seal_hybrid", [&] { ASSERT_TRUE(seal_hybrid(x_pub, m_pub, sealed.ciphertext, {}).ok()); }},
        {"open", [&] { ASSERT_TRUE(kp.open(sealed.encapsulation, sealed.nonce, sealed.ciphertext, {}).ok()); }},
        {"open_session",
         [&] { ASSERT_TRUE(open_session(kp, sealed.encapsulation, sealed.nonce, sealed.ciphertext, {}).ok()); }},
    };
    for (const auto& [name, op] : ops) {
        const std::size_t used = stack.run(op) - base;
        std::printf("%s: %zu bytes of stack\n", name, used);
        EXPECT_LE(used, kBudget) << name;
    }
}

}  // namespace
}  // namespace qv::hybrid
