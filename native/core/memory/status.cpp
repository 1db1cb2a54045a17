#include "memory/status.hpp"

#include <sys/resource.h>

namespace qv {

namespace {

std::optional<std::uint64_t> limit_value(rlim_t v) {
    if (v == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

}  // namespace

MemlockLimits memlock_limits() noexcept {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_MEMLOCK, &rl) != 0) return {};
    return {limit_value(rl.rlim_cur), limit_value(rl.rlim_max)};
}

MemoryStatus memory_status() {
    MemoryStatus s{};
    s.counters = read_counters();
    s.page_size = page_size();
    s.memlock = memlock_limits();
    s.platform = platform::name();
    s.backend = "mmap+mlock";
    s.guard_pages = true;
    s.wipe_on_fork = platform::wipe_on_fork();
    s.ipc_lock = platform::ipc_lock_capability();
    return s;
}

HardenResult harden_process() noexcept {
    HardenResult r{};
    r.platform = platform::name();

    struct rlimit rl {};
    if (::getrlimit(RLIMIT_MEMLOCK, &rl) == 0 && rl.rlim_cur != rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        r.memlock_soft_raised = ::setrlimit(RLIMIT_MEMLOCK, &rl) == 0;
    }

    const struct rlimit no_core {0, 0};
    r.core_dumps_disabled = ::setrlimit(RLIMIT_CORE, &no_core) == 0;

    r.ptrace_restricted = platform::deny_debugger_attach();

    r.memlock = memlock_limits();
    return r;
}

}  // namespace qv
