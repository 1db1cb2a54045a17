// The object lock against the two failures that must not disable or hang an
// object: fork() while another thread holds the lock (the child never waits
// on the inherited mutex: objects from before the fork answer ForkedChild
// for their secrets and keep their flags), and running out of memory inside
// the critical section (released without poisoning), for every owner kind.
// That any other exception poisons is in base/box_test.cpp.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "box/secret_box.hpp"
#include "entropy/pool.hpp"
#include "hybrid/keypair.hpp"
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

// One owner of each kind: its lock, what a fork child must see (its secret
// refused as ForkedChild, the reads it keeps still answered), and a check
// that it still works in this process.
struct Owner {
    const char* name;
    std::function<ObjectLock&()> lock;
    std::function<bool()> in_child, works;
};

std::vector<Owner> owners() {
    static SecretBox box(random_region(32).value());
    static SecretBox stream_key(random_region(32).value());
    static stream::PushStream push(stream::start_push(stream_key).value());
    static hybrid::HybridKeyPair keypair(hybrid::generate_identity().value());
    static entropy::EntropyPool pool(entropy::new_pool_state().value());
    static const std::array<std::uint8_t, 1120> enc{};
    static const std::array<std::uint8_t, 16> msg{};
    static std::array<std::uint8_t, 16 + stream::ABYTES> chunk{};
    static std::array<std::uint8_t, 12> out{};
    return {
        {"box", []() -> ObjectLock& { return box.lock(); },
         [] { return is_forked(box.copy_bytes()) && box.length().ok() && box.wipe().ok(); },
         [] { return box.copy_bytes().ok(); }},
        {"stream", []() -> ObjectLock& { return push.lock(); },
         [] { return is_forked(push.push(msg, {}, false, chunk)) && push.is_finished().ok() && !push.is_finished().value(); },
         [] { return push.push(msg, {}, false, chunk).ok(); }},
        {"keypair", []() -> ObjectLock& { return keypair.lock(); },
         [] { return is_forked(keypair.open(enc, out, {}, {})) && keypair.is_wiped().ok() && keypair.x25519_public().ok(); },
         [] { return keypair.x25519_secret().ok(); }},
        {"pool", []() -> ObjectLock& { return pool.lock(); }, [] { return is_forked(pool.fill(out)); },
         [] { return pool.fill(out).ok(); }},
    };
}

TEST(ObjectLock, ForkChildNeverWaitsOnALockHeldAtTheFork) {
    for (const Owner& o : owners()) {
        SCOPED_TRACE(o.name);
        {
            Holder holder(o.lock());
            EXPECT_EQ(in_child(o.in_child), "ok");
        }
        EXPECT_TRUE(o.works()) << "the parent's object must be unaffected";
    }
}

TEST(ObjectLock, OutOfMemoryUnderTheLockDoesNotPoison) {
    for (const Owner& o : owners()) {
        SCOPED_TRACE(o.name);
        ObjectLock& lock = o.lock();
        EXPECT_THROW({ auto guard = lock.acquire(); allocating([]() -> int { throw std::bad_alloc(); }); }, std::bad_alloc);
        EXPECT_FALSE(lock.poisoned());
        EXPECT_TRUE(o.works());
    }
}

}  // namespace
}  // namespace qv
