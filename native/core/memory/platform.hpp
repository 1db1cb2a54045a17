// What differs between the POSIX platforms the backend runs on.
#pragma once

#include <cstdint>
#include <optional>

namespace qv::platform {

// "linux" or "macos".
const char* name() noexcept;

// Best effort: keep the data area out of core dumps and have the kernel hand
// fork() children zero pages in its place (so the canary reads zero there).
void advise_secret_pages(void* data, std::uint64_t len) noexcept;

// Whether the backend applies wipe-on-fork to every data area.
bool wipe_on_fork() noexcept;

// CAP_IPC_LOCK in the permitted / effective set; nullopt where unknown.
struct IpcLock {
    std::optional<bool> permitted;
    std::optional<bool> effective;
};
IpcLock ipc_lock_capability() noexcept;

// Refuses debugger attachment (PR_SET_DUMPABLE 0 on Linux, PT_DENY_ATTACH
// on macOS). Returns whether the request returned 0.
bool deny_debugger_attach() noexcept;

}  // namespace qv::platform
