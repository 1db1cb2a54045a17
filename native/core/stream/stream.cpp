#include "stream/stream.hpp"

#include <cstring>

#include "crypto/ct.hpp"
#include "memory/zeroize.hpp"
#include "stream/chacha.hpp"

namespace qv::stream {

namespace {

using chacha::BLOCK_BYTES;
using chacha::IV_BYTES;
using chacha::POLY1305_TAG_BYTES;

constexpr std::uint8_t kZeros[16] = {};

void store64_le(std::uint8_t* p, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void check_state(std::span<std::uint8_t> state) {
    if (state.size() != STATE_BYTES) fault("secretstream state view is not 44 bytes");
}

void check_keystream(std::uint64_t mlen) {
    if (mlen > MESSAGE_BYTES_MAX) fault("end of keystream reached: a chunk may carry at most 274877906752 bytes");
}

// Per-chunk secrets outside the state region: the IV, keystream block 0
// (the Poly1305 key) and the tag block (block 1 keystream). One zeroizing
// allocation, wiped on every path.
struct Scratch {
    Scratch() : buf(IV_BYTES + 2 * BLOCK_BYTES + POLY1305_TAG_BYTES) {}
    std::uint8_t* iv() noexcept { return buf.data(); }
    std::uint8_t* block0() noexcept { return buf.data() + IV_BYTES; }
    std::uint8_t* tag_block() noexcept { return buf.data() + IV_BYTES + BLOCK_BYTES; }
    std::uint8_t* mac() noexcept { return buf.data() + IV_BYTES + 2 * BLOCK_BYTES; }
    ZeroizingBuffer buf;
};

// Starts the chunk's keystream at block 0 and keys Poly1305 with its first
// 32 bytes, as the RFC 8439 AEAD does (section 2.6). Block 0 is zeroed.
chacha::Poly1305 start_chunk(std::span<std::uint8_t> state, chacha::ChaCha20& cipher, Scratch& s) {
    chacha::make_iv(s.iv(), 0, state.data() + STATE_NONCE);
    cipher.start(state.data() + STATE_KEY, s.iv());
    cipher.apply(s.block0(), s.block0(), BLOCK_BYTES);
    chacha::Poly1305 mac(s.block0());
    secure_zero(s.block0(), BLOCK_BYTES);
    return mac;
}

// ad, its pad to 16, the 64-byte encrypted tag block.
void mac_head(chacha::Poly1305& mac, std::span<const std::uint8_t> ad, const std::uint8_t* tag_block) {
    mac.update(ad.data(), ad.size());
    mac.update(kZeros, (16 - ad.size() % 16) % 16);
    mac.update(tag_block, BLOCK_BYTES);
}

// The ciphertext, then mlen mod 16 zero bytes (not the complement: this is
// the published stream's padding), then adlen and 64 + mlen as u64 LE.
void mac_tail(chacha::Poly1305& mac, const std::uint8_t* ct, std::size_t mlen, std::size_t adlen) {
    mac.update(ct, mlen);
    mac.update(kZeros, mlen % 16);
    std::uint8_t lengths[16];
    store64_le(lengths, adlen);
    store64_le(lengths + 8, BLOCK_BYTES + static_cast<std::uint64_t>(mlen));
    mac.update(lengths, sizeof lengths);
}

void advance(std::span<std::uint8_t> state, const std::uint8_t* mac, std::uint8_t tag) {
    for (std::size_t i = 0; i < INONCE_BYTES; ++i) state[STATE_INONCE + i] ^= mac[i];
    // counter + 1 modulo 2^32, little-endian.
    unsigned carry = 1;
    for (std::size_t i = 0; i < 4; ++i) {
        const unsigned sum = state[STATE_COUNTER + i] + carry;
        state[STATE_COUNTER + i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    const bool wrapped = (state[STATE_COUNTER] | state[STATE_COUNTER + 1] | state[STATE_COUNTER + 2] |
                          state[STATE_COUNTER + 3]) == 0;
    if ((tag & TAG_REKEY) != 0 || wrapped) stream_rekey(state);
}

void reset_counter(std::span<std::uint8_t> state) noexcept {
    state[STATE_COUNTER] = 1;
    state[STATE_COUNTER + 1] = state[STATE_COUNTER + 2] = state[STATE_COUNTER + 3] = 0;
}

}  // namespace

Result<LockedRegion> stream_init(SecretBox& key, std::span<const std::uint8_t> header) {
    QV_ASSIGN(LockedRegion region, LockedRegion::allocate(STATE_BYTES));
    // On any error below, `region` is released (zeroed, unmapped) on return.
    QV_CHECK(key.with_bytes([&](std::span<const std::uint8_t> k) -> Status {
        QV_ASSIGN(const std::span<std::uint8_t> state, region.bytes_mut());
        if (state.size() != STATE_BYTES) return Error::bad_length("secretstream state", STATE_BYTES, state.size());
        if (k.size() != KEY_BYTES) return Error::bad_length("secretstream key", KEY_BYTES, k.size());
        if (header.size() != HEADER_BYTES) return Error::bad_length("secretstream header", HEADER_BYTES, header.size());
        // The subkey goes straight into the region: no copy outside it.
        chacha::hchacha20(state.data() + STATE_KEY, k.data(), header.data());
        reset_counter(state);
        std::memcpy(state.data() + STATE_INONCE, header.data() + chacha::HCHACHA_INPUT_BYTES, INONCE_BYTES);
        return {};
    }));
    return region;
}

void stream_push(std::span<std::uint8_t> state, std::span<const std::uint8_t> m,
                 std::span<const std::uint8_t> ad, std::uint8_t tag, std::span<std::uint8_t> out) {
    check_state(state);
    if (out.size() < ABYTES || out.size() - ABYTES != m.size()) fault("secretstream chunk buffer has the wrong size");
    Scratch s;
    chacha::ChaCha20 cipher;
    chacha::Poly1305 mac = start_chunk(state, cipher, s);

    std::uint8_t* block = s.tag_block();
    block[0] = tag;
    cipher.apply(block, block, BLOCK_BYTES);
    mac_head(mac, ad, block);

    check_keystream(m.size());
    std::uint8_t* ct = out.data() + 1;
    out[0] = block[0];
    cipher.apply(m.data(), ct, m.size());
    mac_tail(mac, ct, m.size(), ad.size());
    mac.finish(ct + m.size());

    advance(state, ct + m.size(), tag);
}

Output stream_push(std::span<std::uint8_t> state, std::span<const std::uint8_t> m,
                   std::span<const std::uint8_t> ad, std::uint8_t tag) {
    check_keystream(m.size());
    Output out(m.size() + ABYTES);
    stream_push(state, m, ad, tag, out.span());
    return out;
}

ChunkParts chunk_parts(std::span<const std::uint8_t> c) noexcept {
    if (c.size() < ABYTES) return {c.size(), 0, {}, nullptr};
    const std::size_t mlen = c.size() - ABYTES;
    return {c.size(), c[0], c.subspan(1, mlen), c.data() + 1 + mlen};
}

Result<std::uint8_t> stream_pull(std::span<std::uint8_t> state, const ChunkParts& c,
                                 std::span<const std::uint8_t> ad, std::span<std::uint8_t> plaintext) {
    check_state(state);
    if (plaintext.size() != plaintext_len(c.size)) fault("secretstream plaintext buffer has the wrong size");
    if (c.size < ABYTES) return ErrorKind::OpenFailed;
    const std::size_t mlen = c.size - ABYTES;
    if (c.ct.size() != mlen) fault("secretstream chunk parts do not add up");

    Scratch s;
    chacha::ChaCha20 cipher;
    chacha::Poly1305 mac = start_chunk(state, cipher, s);

    std::uint8_t* block = s.tag_block();
    block[0] = c.first;
    cipher.apply(block, block, BLOCK_BYTES);
    const std::uint8_t tag = block[0];
    block[0] = c.first;  // the block as the pusher MACed it: encrypted
    mac_head(mac, ad, block);
    mac_tail(mac, c.ct.data(), mlen, ad.size());
    mac.finish(s.mac());

    // Verify before decrypting; all 16 bytes are compared, no early exit.
    // The verdict is public, and so is the tag of an authentic chunk.
    if (!ct::declassify(ct::equal(s.mac(), c.mac, POLY1305_TAG_BYTES))) return ErrorKind::OpenFailed;
    const std::uint8_t received = ct::declassify(tag);

    check_keystream(mlen);
    cipher.apply(c.ct.data(), plaintext.data(), mlen);
    advance(state, c.mac, received);
    return received;
}

Result<Pulled> stream_pull(std::span<std::uint8_t> state, std::span<const std::uint8_t> c,
                           std::span<const std::uint8_t> ad) {
    Output plaintext(plaintext_len(c.size()));
    QV_ASSIGN(const std::uint8_t tag, stream_pull(state, chunk_parts(c), ad, plaintext.span()));
    return Pulled{std::move(plaintext), tag};
}

void stream_rekey(std::span<std::uint8_t> state) {
    check_state(state);
    // XOR the keystream straight into the region (OpenSSL copied key and
    // nonce at start()), so the new key never exists outside it.
    ZeroizingBuffer iv(IV_BYTES);
    chacha::make_iv(iv.data(), 0, state.data() + STATE_NONCE);
    chacha::ChaCha20 cipher;
    cipher.start(state.data() + STATE_KEY, iv.data());
    cipher.apply(state.data() + STATE_KEY, state.data() + STATE_KEY, KEY_BYTES);
    cipher.apply(state.data() + STATE_INONCE, state.data() + STATE_INONCE, INONCE_BYTES);
    reset_counter(state);
}

}  // namespace qv::stream
