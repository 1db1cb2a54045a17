// The two ends of a secret stream as objects: the state region behind the
// object's own lock, and the finished flag. No Python here; the binding
// converts arguments, releases the GIL and calls push()/pull(), which take
// and release the lock themselves, so the GIL is taken back only after the
// lock is free.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "box/secret_box.hpp"
#include "error/result.hpp"
#include "memory/region.hpp"
#include "stream/stream.hpp"
#include "sync/object_lock.hpp"

namespace qv::stream {

using Header = std::array<std::uint8_t, HEADER_BYTES>;

struct PushStart {
    Header header;
    LockedRegion state;
};

// A fresh header from the OS random source (RngFailed), then stream_init.
Result<PushStart> start_push(SecretBox& key);

class PushStream {
public:
    explicit PushStream(PushStart start) noexcept
        : header_(start.header), state_(std::move(start.state)) {}
    PushStream(const PushStream&) = delete;
    PushStream& operator=(const PushStream&) = delete;

    // Immutable; needs no lock.
    const Header& header() const noexcept { return header_; }

    // Checks in order: LockPoisoned, StreamFinished, Wiped / ForkedChild,
    // BadLength "secretstream state"; then one chunk into `chunk` (exactly
    // message.size() + 17 bytes; message may be chunk[1..], encrypted in
    // place). `final` ends the stream.
    Status push(std::span<const std::uint8_t> message, std::span<const std::uint8_t> ad, bool final,
                std::span<std::uint8_t> chunk);
    // LockPoisoned, or whether the final chunk was pushed.
    Result<bool> is_finished();

    // For tests: the lock and the state region.
    ObjectLock& lock() noexcept { return lock_; }
    LockedRegion& state() noexcept { return state_; }

private:
    const Header header_;
    ObjectLock lock_;
    LockedRegion state_;
    bool finished_ = false;
};

class PullStream {
public:
    explicit PullStream(LockedRegion state) noexcept : state_(std::move(state)) {}
    PullStream(const PullStream&) = delete;
    PullStream& operator=(const PullStream&) = delete;

    // The same checks as PushStream::push, then one chunk into `plaintext`
    // (exactly plaintext_len(chunk.size) bytes; it may hold the ciphertext);
    // returns the received tag. OpenFailed leaves the state and the finished
    // flag as they were. A received TAG_FINAL (exactly 3) ends the stream.
    Result<std::uint8_t> pull(const ChunkParts& chunk, std::span<const std::uint8_t> ad,
                              std::span<std::uint8_t> plaintext);
    Result<bool> is_finished();

    ObjectLock& lock() noexcept { return lock_; }
    LockedRegion& state() noexcept { return state_; }

private:
    ObjectLock lock_;
    LockedRegion state_;
    bool finished_ = false;
};

}  // namespace qv::stream
