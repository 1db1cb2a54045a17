#include "sync/object_lock.hpp"

#include <pthread.h>

namespace qv {

namespace {

std::atomic<std::uint64_t> g_fork_generation{0};
thread_local std::uint64_t t_out_of_memory = 0;

// Runs in the child, on its only thread, before fork() returns there.
void on_fork_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() noexcept {
    // Registered before the first lock exists, so before any fork that
    // could leave one behind.
    static const bool registered = pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
    (void)registered;
    return g_fork_generation.load(std::memory_order_relaxed);
}

std::uint64_t out_of_memory_count() noexcept { return t_out_of_memory; }

void note_out_of_memory() noexcept { ++t_out_of_memory; }

}  // namespace qv
