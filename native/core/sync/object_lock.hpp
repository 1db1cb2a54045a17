// The per-object lock of every object that holds secrets: a non-recursive
// mutex created on first use, and a poisoned flag set when an exception
// (an internal fault) unwinds while the lock is held. A poisoned object
// refuses every later acquisition with LockPoisoned.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>

#include "error/result.hpp"

namespace qv {

class ObjectLock {
public:
    ObjectLock() = default;
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;
    ~ObjectLock() { delete mutex_.load(std::memory_order_acquire); }

    class Guard {
    public:
        Guard(Guard&& other) noexcept
            : owner_(other.owner_), lock_(std::move(other.lock_)), uncaught_(other.uncaught_) {
            other.owner_ = nullptr;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            // More exceptions in flight than when the lock was taken: a fault
            // is unwinding through the critical section.
            if (owner_ != nullptr && std::uncaught_exceptions() > uncaught_) owner_->poison();
        }

    private:
        friend class ObjectLock;
        Guard(ObjectLock* owner, std::unique_lock<std::mutex> lock) noexcept
            : owner_(owner), lock_(std::move(lock)), uncaught_(std::uncaught_exceptions()) {}
        ObjectLock* owner_;
        std::unique_lock<std::mutex> lock_;
        int uncaught_;
    };

    // Blocks until the lock is free; LockPoisoned if the object is poisoned.
    Result<Guard> acquire() {
        std::unique_lock<std::mutex> lock(mutex());
        if (poisoned()) return ErrorKind::LockPoisoned;
        return Guard(this, std::move(lock));
    }

    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
    void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

private:
    std::mutex& mutex() {
        std::mutex* m = mutex_.load(std::memory_order_acquire);
        if (m != nullptr) return *m;
        // Race-free publish: the loser of a concurrent first use discards its own.
        auto* fresh = new std::mutex;
        if (mutex_.compare_exchange_strong(m, fresh, std::memory_order_acq_rel)) return *fresh;
        delete fresh;
        return *m;
    }

    std::atomic<std::mutex*> mutex_{nullptr};
    std::atomic<bool> poisoned_{false};
};

}  // namespace qv
