// The per-object lock of every object that holds secrets: a non-recursive
// mutex created on first use, and a poisoned flag set when an exception
// (an internal fault) unwinds while the lock is held. A poisoned object
// refuses every later acquisition with LockPoisoned.
//
// Running out of memory is not such a fault: an allocation that fails
// inside a critical section marks itself (allocating(), note_out_of_memory())
// and the guard it unwinds through releases the lock without poisoning, so
// the object stays usable. Operations allocate before they lock wherever
// the sizes are known, and leave the object unchanged until then.
//
// fork(): the child inherits every mutex as it was, possibly held by a
// thread that does not exist there. The process's fork generation (advanced
// in the child by a pthread_atfork handler) tells a lock made before the
// fork: such a lock never touches its inherited mutex. acquire() answers
// ForkedChild (secrets never survive a fork); inspect(), for the reads and
// the wipe that an object keeps in a fork child, locks a mutex of the
// child's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

#include "error/result.hpp"

namespace qv {

// The number of fork() children this process is down from the process that
// loaded the module: 0 there, 1 in a child, and so on.
std::uint64_t fork_generation() noexcept;

// Out-of-memory failures thrown on this thread so far (see allocating()).
std::uint64_t out_of_memory_count() noexcept;
void note_out_of_memory() noexcept;

// Runs `allocate`; a std::bad_alloc from it is counted as running out of
// memory before it propagates.
template <class F>
decltype(auto) allocating(F&& allocate) {
    try {
        return std::forward<F>(allocate)();
    } catch (const std::bad_alloc&) {
        note_out_of_memory();
        throw;
    }
}

class ObjectLock {
public:
    ObjectLock() noexcept : birth_(fork_generation()) {}
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;
    ~ObjectLock() {
        // A mutex inherited across fork() may be held by a thread that does
        // not exist here; it is left as it is.
        Slot* slot = slot_.load(std::memory_order_acquire);
        if (slot != nullptr && slot->generation == fork_generation()) delete slot;
    }

    class Guard {
    public:
        Guard(Guard&& other) noexcept
            : owner_(other.owner_), lock_(std::move(other.lock_)), uncaught_(other.uncaught_),
              out_of_memory_(other.out_of_memory_) {
            other.owner_ = nullptr;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            // More exceptions in flight than when the lock was taken: a fault
            // is unwinding through the critical section, unless it is an
            // allocation that failed since.
            if (owner_ != nullptr && std::uncaught_exceptions() > uncaught_ &&
                out_of_memory_count() == out_of_memory_) {
                owner_->poison();
            }
        }

    private:
        friend class ObjectLock;
        Guard(ObjectLock* owner, std::unique_lock<std::mutex> lock) noexcept
            : owner_(owner), lock_(std::move(lock)), uncaught_(std::uncaught_exceptions()),
              out_of_memory_(out_of_memory_count()) {}
        ObjectLock* owner_;
        std::unique_lock<std::mutex> lock_;
        int uncaught_;
        std::uint64_t out_of_memory_;
    };

    // Blocks until the lock is free; LockPoisoned if the object is poisoned;
    // ForkedChild, without waiting, for an object made before a fork().
    Result<Guard> acquire() {
        if (forked()) return poisoned() ? ErrorKind::LockPoisoned : ErrorKind::ForkedChild;
        return inspect();
    }

    // As acquire(), but an object made before a fork() is locked with a
    // mutex of this process instead of being refused. For the operations an
    // object keeps in a fork child: its lengths and flags, and wipe().
    Result<Guard> inspect() {
        std::unique_lock<std::mutex> lock(mutex());
        if (poisoned()) return ErrorKind::LockPoisoned;
        return Guard(this, std::move(lock));
    }

    // Made in another process (before a fork() that led here).
    bool forked() const noexcept { return birth_ != fork_generation(); }
    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
    void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

private:
    struct Slot {
        explicit Slot(std::uint64_t g) noexcept : generation(g) {}
        std::mutex mutex;
        const std::uint64_t generation;
    };

    // The mutex of this process's generation. Race-free publish: the loser of
    // a concurrent first use discards its own. A slot from before a fork is
    // replaced and never touched again.
    std::mutex& mutex() {
        const std::uint64_t generation = fork_generation();
        Slot* slot = slot_.load(std::memory_order_acquire);
        while (slot == nullptr || slot->generation != generation) {
            auto* fresh = allocating([&] { return new Slot(generation); });
            if (slot_.compare_exchange_strong(slot, fresh, std::memory_order_acq_rel)) return fresh->mutex;
            delete fresh;
        }
        return slot->mutex;
    }

    const std::uint64_t birth_;
    std::atomic<Slot*> slot_{nullptr};
    std::atomic<bool> poisoned_{false};
};

}  // namespace qv
