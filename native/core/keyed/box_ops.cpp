#include "keyed/box_ops.hpp"

#include "json/base64url.hpp"
#include "json/reader.hpp"
#include "keyed/aes_gcm.hpp"

namespace qv {

using Bytes = std::span<const std::uint8_t>;

Result<std::array<std::uint8_t, HMAC_SHA512_BYTES>> box_hmac_sha512(SecretBox& box, Bytes message) {
    return box.with_bytes([&](Bytes key) -> Result<std::array<std::uint8_t, HMAC_SHA512_BYTES>> {
        return hmac_sha512(key, message);
    });
}

Result<LockedRegion> box_hkdf_sha256(SecretBox& box, Bytes salt, Bytes info, std::uint64_t length) {
    QV_ASSIGN(LockedRegion region, LockedRegion::allocate(length));
    QV_ASSIGN(const std::span<std::uint8_t> out, region.bytes_mut());
    QV_CHECK(box.with_bytes([&](Bytes ikm) { return hkdf_sha256(ikm, salt, info, out); }));
    return region;
}

Result<std::vector<std::uint8_t>> box_seal(SecretBox& box, Bytes nonce, Bytes plaintext, Bytes aad) {
    return box.with_bytes([&](Bytes key) { return aes256gcm_seal(key, nonce, plaintext, aad); });
}

Status box_seal_into(SecretBox& box, Bytes nonce, Bytes plaintext, Bytes aad, std::span<std::uint8_t> out) {
    return box.with_bytes([&](Bytes key) { return aes256gcm_seal_into(key, nonce, plaintext, aad, out); });
}

Result<std::vector<std::uint8_t>> box_seal_secret(SecretBox& box, Bytes nonce, SecretBox& secret, Bytes aad) {
    QV_ASSIGN(const ZeroizingBuffer wrapped, secret.copy_bytes());
    // The output is made before the box's lock is taken: a failed allocation
    // is a MemoryError that leaves both boxes as they were.
    auto sealed = allocating([&] { return std::vector<std::uint8_t>(wrapped.size() + AES_GCM_TAG_BYTES); });
    QV_CHECK(box_seal_into(box, nonce, wrapped.span(), aad, sealed));
    return sealed;
}

Result<ZeroizingBuffer> open_sealed(SecretBox& box, Bytes nonce, Bytes sealed, Bytes aad) {
    // The plaintext buffer is made before the box's lock is taken (its size
    // follows from the argument), so running out of memory raises before the
    // box is examined and never poisons it.
    const std::size_t len = sealed.size() >= AES_GCM_TAG_BYTES ? sealed.size() - AES_GCM_TAG_BYTES : 0;
    ZeroizingBuffer plaintext = allocating([&] { return ZeroizingBuffer(len); });
    QV_CHECK(open_sealed_into(box, nonce, sealed, aad, plaintext.span()));
    return plaintext;
}

Status open_sealed_in_place(SecretBox& box, Bytes nonce, std::span<std::uint8_t> sealed, Bytes aad) {
    return box.with_bytes([&](Bytes key) -> Status {
        // Keeps the key-before-nonce-before-length order of aes256gcm_open.
        const std::size_t len = sealed.size() >= AES_GCM_TAG_BYTES ? sealed.size() - AES_GCM_TAG_BYTES : 0;
        return aes256gcm_open_into(key, nonce, sealed, aad, sealed.first(len));
    });
}

Status open_sealed_into(SecretBox& box, Bytes nonce, Bytes sealed, Bytes aad, std::span<std::uint8_t> out) {
    return box.with_bytes([&](Bytes key) { return aes256gcm_open_into(key, nonce, sealed, aad, out); });
}

Result<LockedRegion> open_sealed_region(SecretBox& box, Bytes nonce, Bytes sealed, Bytes aad) {
    QV_ASSIGN(const ZeroizingBuffer plaintext, open_sealed(box, nonce, sealed, aad));
    return LockedRegion::from_slice(plaintext.span());
}

Result<LockedRegion> open_json_field(SecretBox& box, Bytes nonce, Bytes sealed, Bytes aad, std::string_view field) {
    // Declared in this order so that they are released decoded bytes first,
    // then the member, then the plaintext.
    QV_ASSIGN(const ZeroizingBuffer plaintext, open_sealed(box, nonce, sealed, aad));
    QV_ASSIGN(const json::StringMember member, json::find_string_member(plaintext.span(), field));
    QV_ASSIGN(const ZeroizingBuffer decoded, json::decode_base64url(member.text));
    return LockedRegion::from_slice(decoded.span());
}

}  // namespace qv
