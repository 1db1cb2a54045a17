// Process-wide facts of the locked-memory subsystem: the page size, the lock
// policy from QUORVEX_MEMORY_LOCK (both fixed at first need) and the counters.
#pragma once

#include <cstdint>
#include <string_view>

namespace qv {

enum class LockPolicy { Require, BestEffort };

// sysconf(_SC_PAGESIZE) if it is above 511, else 4096. Fixed at first call.
std::uint64_t page_size();
// The rule behind page_size(), for any answer of sysconf.
std::uint64_t page_size_from(long sysconf_answer) noexcept;

// Read from the environment at the first call only.
LockPolicy lock_policy();
// "require" after trimming Unicode white space, ASCII case-insensitive, is
// Require; anything else (invalid UTF-8 included) is BestEffort.
LockPolicy parse_lock_policy(std::string_view raw) noexcept;
const char* lock_policy_name(LockPolicy policy) noexcept;

struct Counters {
    std::uint64_t live_secrets;
    std::uint64_t unlocked_allocations;
    std::int32_t last_lock_errno;
};

// Relaxed reads; the three may be out of step by a concurrent allocation.
Counters read_counters() noexcept;

namespace counters {
void region_made() noexcept;
void region_released() noexcept;
void unlocked_allocation(int err_no) noexcept;
}  // namespace counters

}  // namespace qv
