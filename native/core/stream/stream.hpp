// The XChaCha20-Poly1305 secret stream, byte for byte the construction that
// libsodium publishes as crypto_secretstream_xchacha20poly1305: a 24-byte
// header, a 44-byte state that moves one step per chunk, and chunks of
// encrypted tag byte ‖ ciphertext ‖ Poly1305 MAC.
//
// These functions hold no lock: the owner of the state region holds its own
// lock around stream_push and stream_pull and hands in the validated view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "box/secret_box.hpp"
#include "error/result.hpp"
#include "memory/region.hpp"

namespace qv::stream {

inline constexpr std::size_t HEADER_BYTES = 24;
inline constexpr std::size_t ABYTES = 17;  // tag byte + 16-byte MAC
inline constexpr std::size_t KEY_BYTES = 32;
inline constexpr std::size_t STATE_BYTES = 44;
inline constexpr std::uint8_t TAG_MESSAGE = 0;
inline constexpr std::uint8_t TAG_REKEY = 2;  // a bit
inline constexpr std::uint8_t TAG_FINAL = 3;
// 2^32 - 3 keystream blocks counted from block 2.
inline constexpr std::uint64_t MESSAGE_BYTES_MAX = 64ULL * ((1ULL << 32) - 3);

// StreamState layout: key ‖ counter (u32 LE) ‖ inonce. The ChaCha20 nonce
// is bytes 32..44 as stored.
inline constexpr std::size_t STATE_KEY = 0;
inline constexpr std::size_t STATE_COUNTER = 32;
inline constexpr std::size_t STATE_INONCE = 36;
inline constexpr std::size_t STATE_NONCE = 32;
inline constexpr std::size_t INONCE_BYTES = 8;

// An ordinary heap buffer for an output that goes to the caller at once (a
// chunk, a plaintext); allocated once at its final size, not zeroed on free.
struct Output {
    explicit Output(std::size_t n) : data(std::make_unique_for_overwrite<std::uint8_t[]>(n)), size(n) {}
    std::span<std::uint8_t> span() noexcept { return {data.get(), size}; }
    std::span<const std::uint8_t> span() const noexcept { return {data.get(), size}; }

    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size;
};

struct Pulled {
    Output plaintext;
    std::uint8_t tag;
};

// A new state region for `key` and `header`. Errors, in order: those of
// LockedRegion::allocate; the key box's LockPoisoned, Wiped, ForkedChild;
// BadLength "secretstream key" (32); BadLength "secretstream header" (24).
// The region is released on every failure.
Result<LockedRegion> stream_init(SecretBox& key, std::span<const std::uint8_t> header);

// One chunk for `tag` (TAG_MESSAGE or TAG_FINAL) written to `out`, a fresh
// ordinary buffer of exactly m.size() + 17 bytes (m may be out[1..], then it
// is encrypted in place); advances `state` (44 bytes). A message above MESSAGE_BYTES_MAX is an internal fault ("end of
// keystream reached ...") raised before `out` is written or the state moves.
void stream_push(std::span<std::uint8_t> state, std::span<const std::uint8_t> m,
                 std::span<const std::uint8_t> ad, std::uint8_t tag, std::span<std::uint8_t> out);
// The same into a new Output.
Output stream_push(std::span<std::uint8_t> state, std::span<const std::uint8_t> m,
                   std::span<const std::uint8_t> ad, std::uint8_t tag);

// A chunk seen in its parts: byte 0, the ciphertext and the 16-byte MAC.
// The ciphertext may already sit in the plaintext buffer (decrypted in place).
struct ChunkParts {
    std::size_t size;  // the whole chunk's length; below 17 nothing else is read
    std::uint8_t first;
    std::span<const std::uint8_t> ct;
    const std::uint8_t* mac;
};
ChunkParts chunk_parts(std::span<const std::uint8_t> c) noexcept;

// Verifies the chunk, then decrypts it into `plaintext` (exactly
// plaintext_len(size) bytes; it may be the very buffer holding the
// ciphertext) and returns the received tag byte. OpenFailed (short chunk,
// MAC mismatch) leaves the state untouched and `plaintext` unwritten. Every
// authentic tag value is accepted; its TAG_REKEY bit rekeys as on the
// pushing side.
Result<std::uint8_t> stream_pull(std::span<std::uint8_t> state, const ChunkParts& c,
                                 std::span<const std::uint8_t> ad, std::span<std::uint8_t> plaintext);
// A contiguous chunk into a new Output.
Result<Pulled> stream_pull(std::span<std::uint8_t> state, std::span<const std::uint8_t> c,
                           std::span<const std::uint8_t> ad);

// The plaintext length a chunk of `chunk_len` bytes carries (0 when short).
inline std::size_t plaintext_len(std::size_t chunk_len) noexcept {
    return chunk_len < ABYTES ? 0 : chunk_len - ABYTES;
}

// key ‖ inonce ^= ChaCha20 block 0 under the current key and nonce; counter = 1.
void stream_rekey(std::span<std::uint8_t> state);

}  // namespace qv::stream
