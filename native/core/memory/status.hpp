// The facts behind memory_status() and harden_process().
#pragma once

#include <cstdint>
#include <optional>

#include "memory/platform.hpp"
#include "memory/policy.hpp"

namespace qv {

struct MemlockLimits {
    std::optional<std::uint64_t> soft;  // nullopt: unlimited or unreadable
    std::optional<std::uint64_t> hard;
};

MemlockLimits memlock_limits() noexcept;

struct MemoryStatus {
    const char* platform;
    const char* backend;
    bool guard_pages;
    bool wipe_on_fork;
    std::uint64_t page_size;
    Counters counters;
    MemlockLimits memlock;
    platform::IpcLock ipc_lock;
};

// Everything but the lock policy, which the caller reads at its own point.
MemoryStatus memory_status();

struct HardenResult {
    const char* platform;
    bool core_dumps_disabled;
    bool ptrace_restricted;
    bool memlock_soft_raised;
    MemlockLimits memlock;
};

// Raises the soft mlock limit to the hard one, disables core files, refuses
// debugger attachment; every step runs whatever the earlier ones did.
HardenResult harden_process() noexcept;

}  // namespace qv
