// The faults an object must survive, for every owner kind: fork() while
// another thread holds its lock (the child never waits on the inherited
// mutex: objects from before the fork answer ForkedChild for their secrets
// and keep their flags; Python can hold only a stream's lock at a fork), and
// a random source that fails part way through drawing key material (an
// internal fault that leaves no region; the first and the nonce draws are
// failed from Python, and the order of the draws is pinned by the protocol
// examples). Running out of memory under a lock is tested from Python.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "box/secret_box.hpp"
#include "entropy/pool.hpp"
#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "memory/policy.hpp"
#include "rng/random.hpp"
#include "stream/sides.hpp"
#include "sync/object_lock.hpp"

namespace qv {
namespace {

// Holds `lock` on another thread from construction until destruction.
class Holder {
public:
    explicit Holder(ObjectLock& lock) : thread_([this, &lock] {
        auto guard = lock.acquire();
        taken_.set_value();
        released_.wait();
    }) { taken_.get_future().wait(); }
    ~Holder() { release_.set_value(), thread_.join(); }

private:
    std::promise<void> taken_, release_;
    std::future<void> released_ = release_.get_future();
    std::thread thread_;
};

// Runs `check` in a fork() child under a 10 s alarm. "ok", "wrong answer",
// or "hung" when the alarm killed the child.
std::string in_child(const std::function<bool()>& check) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGALRM ? "hung" : "killed";
    return WEXITSTATUS(status) == 0 ? "ok" : "wrong answer";
}

template <class R>
bool is_forked(const R& r) {
    return !r.ok() && r.error().kind == ErrorKind::ForkedChild;
}

// A fork child, made while another thread holds `lock`, must see `check` hold.
void expect_in_child_while_held(const char* kind, ObjectLock& lock, const std::function<bool()>& check) {
    Holder holder(lock);
    EXPECT_EQ(in_child(check), "ok") << kind;
}

// One object of each kind: in the child its secret is refused as ForkedChild
// and the reads it keeps are still answered; the parent's object works on.
TEST(ObjectLock, ForkChildNeverWaitsOnALockHeldAtTheFork) {
    SecretBox box(random_region(32).value()), stream_key(random_region(32).value());
    stream::PushStream push(stream::start_push(stream_key).value());
    hybrid::HybridKeyPair keypair(hybrid::generate_identity().value());
    entropy::EntropyPool pool(entropy::new_pool_state().value());
    const std::array<std::uint8_t, 1120> enc{};
    std::array<std::uint8_t, 16 + stream::ABYTES> chunk{};
    std::array<std::uint8_t, 12> out{};
    const auto msg = std::span(enc).first<16>();
    expect_in_child_while_held("box", box.lock(), [&] {
        return is_forked(box.copy_bytes()) && box.length().ok() && box.wipe().ok();
    });
    expect_in_child_while_held("stream", push.lock(), [&] {
        return is_forked(push.push(msg, {}, false, chunk)) && push.is_finished().ok() && !push.is_finished().value();
    });
    expect_in_child_while_held("keypair", keypair.lock(), [&] {
        return is_forked(keypair.open(enc, out, {}, {})) && keypair.is_wiped().ok() && keypair.x25519_public().ok();
    });
    expect_in_child_while_held("pool", pool.lock(), [&] { return is_forked(pool.fill(out)); });
    EXPECT_TRUE(box.copy_bytes().ok() && push.push(msg, {}, false, chunk).ok() && keypair.x25519_secret().ok() &&
                pool.fill(out).ok());
}

// Request number g_fail_at (1-based) fails; the others are filled with 1.
std::size_t g_requests = 0, g_fail_at = 0;
int failing_source(void* buf, std::size_t n) {
    if (++g_requests == g_fail_at) return -1;
    std::memset(buf, 1, n);
    return 0;
}

TEST(FailingSource, LaterKeyDrawsAreFaultsThatLeaveNoRegion) {
    hybrid::HybridKeyPair kp(hybrid::generate_identity().value());
    const auto x = kp.x25519_public().value();
    const auto m = kp.mlkem768_public().value();
    const std::vector<std::uint8_t> xp(x.begin(), x.end()), mp(m.begin(), m.end()), msg{1, 2};
    // generate draws s, d, z; seal_hybrid draws e, m (key material), then the nonce.
    const std::pair<std::size_t, std::function<void()>> cases[] = {
        {2, [] { (void)hybrid::generate_identity(); }},
        {3, [] { (void)hybrid::generate_identity(); }},
        {2, [&] { (void)hybrid::seal_hybrid(xp, mp, msg, {}); }},
    };
    for (const auto& [fail_at, call] : cases) {
        const auto live = read_counters().live_secrets;
        g_requests = 0, g_fail_at = fail_at;
        const RandomSource previous = set_random_source(&failing_source);
        EXPECT_THROW(call(), Fault) << fail_at;
        set_random_source(previous);
        EXPECT_EQ(g_requests, fail_at);
        EXPECT_EQ(read_counters().live_secrets, live) << fail_at;
    }
}

}  // namespace
}  // namespace qv
