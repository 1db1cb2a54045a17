#include "memory/platform.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(__APPLE__)
#include <sys/ptrace.h>
#include <sys/types.h>
#endif

namespace qv::platform {

namespace {
// Cleared if the kernel ever refuses MADV_WIPEONFORK (older than 4.14).
std::atomic<bool> g_wipe_on_fork_ok{true};
}  // namespace

const char* name() noexcept {
#if defined(__APPLE__)
    return "macos";
#else
    return "linux";
#endif
}

void advise_secret_pages(void* data, std::uint64_t len) noexcept {
#if defined(MADV_DONTDUMP)
    (void)::madvise(data, len, MADV_DONTDUMP);
#endif
#if defined(MADV_WIPEONFORK)
    if (::madvise(data, len, MADV_WIPEONFORK) != 0) g_wipe_on_fork_ok.store(false, std::memory_order_relaxed);
#else
    (void)data;
    (void)len;
#endif
}

bool wipe_on_fork() noexcept {
#if defined(MADV_WIPEONFORK)
    return g_wipe_on_fork_ok.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

IpcLock ipc_lock_capability() noexcept {
    IpcLock result;
#if defined(__linux__)
    constexpr unsigned long long kCapIpcLock = 1ULL << 14;
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr) return result;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long mask = 0;
        if (std::sscanf(line, "CapPrm: %llx", &mask) == 1) result.permitted = (mask & kCapIpcLock) != 0;
        if (std::sscanf(line, "CapEff: %llx", &mask) == 1) result.effective = (mask & kCapIpcLock) != 0;
    }
    std::fclose(f);
#endif
    return result;
}

bool deny_debugger_attach() noexcept {
#if defined(__linux__)
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
#elif defined(__APPLE__)
    return ::ptrace(PT_DENY_ATTACH, 0, nullptr, 0) == 0;
#else
    return false;
#endif
}

}  // namespace qv::platform
