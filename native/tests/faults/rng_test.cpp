// A random source that fails at a chosen request, for every producer whose
// own tests do not already cover that draw: a failure is RngFailed where the
// producer reports it, an internal fault where the draw is key material
// (the infallible adapter), and either way no region is left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "box/secret_box.hpp"
#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"
#include "stream/sides.hpp"

namespace qv {
namespace {

// Request number g_fail_at (1-based) fails; every other one is filled.
std::size_t g_requests = 0;
std::size_t g_fail_at = 0;
int source_failing_at(void* buf, std::size_t n) {
    if (++g_requests == g_fail_at) return -1;
    std::memset(buf, 0x5c, n);
    return 0;
}

struct SourceGuard {
    explicit SourceGuard(std::size_t fail_at) {
        g_requests = 0;
        g_fail_at = fail_at;
        set_random_source(&source_failing_at);
    }
    ~SourceGuard() { set_random_source(nullptr); }
};

// What the producer gave.
enum class Got { Success, RngFailed, OtherError, Fault };
template <class R>
Got outcome_of(const std::function<R()>& call) {
    try {
        R r = call();
        if (r.ok()) return Got::Success;
        return r.error().kind == ErrorKind::RngFailed ? Got::RngFailed : Got::OtherError;
    } catch (const Fault&) {
        return Got::Fault;
    }
}

struct Public {
    std::vector<std::uint8_t> x25519, mlkem;
};
const Public& identity_publics() {
    static const Public p = [] {
        hybrid::HybridKeyPair kp(hybrid::generate_identity().value());
        auto x = kp.x25519_public().value();
        auto m = kp.mlkem768_public().value();
        return Public{{x.begin(), x.end()}, {m.begin(), m.end()}};
    }();
    return p;
}
SecretBox& stream_key() {
    static SecretBox key(LockedRegion::from_slice(std::vector<std::uint8_t>(32, 7)).value());
    return key;
}

struct Case {
    const char* producer;
    std::size_t fail_at;
    std::size_t requests;  // requests made up to the failure
    Got want;
};

Got run(const Case& c) {
    const std::string_view p = c.producer;
    if (p == "random_region") return outcome_of<Result<LockedRegion>>([] { return random_region(300); });
    if (p == "start_push") return outcome_of<Result<stream::PushStart>>([] { return stream::start_push(stream_key()); });
    if (p == "generate") return outcome_of<Result<hybrid::IdentityParts>>([] { return hybrid::generate_identity(); });
    return outcome_of<Result<hybrid::Seal>>([] {
        const Public& k = identity_publics();
        return hybrid::seal_hybrid(k.x25519, k.mlkem, std::vector<std::uint8_t>{1, 2}, {});
    });
}

class FailingSource : public testing::TestWithParam<Case> {};

TEST_P(FailingSource, FailsAsDocumentedAndLeavesNoRegion) {
    const Case& c = GetParam();
    (void)identity_publics();  // made with the real source, before the count
    (void)stream_key();
    const auto live = read_counters().live_secrets;
    Got got;
    {
        SourceGuard guard(c.fail_at);
        got = run(c);
    }
    EXPECT_EQ(static_cast<int>(got), static_cast<int>(c.want)) << "0 success, 1 RngFailed, 2 other error, 3 fault";
    EXPECT_EQ(g_requests, c.requests);
    EXPECT_EQ(read_counters().live_secrets, live);
}

// random_region(300) asks for 256 then 44 bytes; generate draws s, d, z;
// seal_hybrid draws e, m (key material), then the nonce.
INSTANTIATE_TEST_SUITE_P(
    Draws, FailingSource,
    testing::Values(Case{"random_region", 2, 2, Got::RngFailed},
                    Case{"start_push", 1, 1, Got::RngFailed},
                    Case{"generate", 2, 2, Got::Fault}, Case{"generate", 3, 3, Got::Fault},
                    Case{"seal_hybrid", 2, 2, Got::Fault},
                    Case{"seal_hybrid", 3, 3, Got::RngFailed}),
    [](const testing::TestParamInfo<Case>& info) {
        return std::string(info.param.producer) + "_request" + std::to_string(info.param.fail_at);
    });

}  // namespace
}  // namespace qv
