#include "hybrid/seal.hpp"

#include <cstring>
#include <memory>

#include "hybrid/draw.hpp"
#include "hybrid/keypair.hpp"
#include "keyed/aes_gcm.hpp"
#include "keyed/mac.hpp"
#include "mlkem/mlkem.hpp"
#include "mlkem/scrub.hpp"
#include "rng/random.hpp"
#include "x25519/x25519.hpp"

namespace qv::hybrid {

namespace {

using Key32 = mlkem::Scrubbed<std::array<std::uint8_t, 32>>;

// Sealing to the same recipient again is the common case. Its parsed key
// (modulus check passed, H(ek) and Â expanded: all public) is kept per thread
// for the last two recipients and found again by comparing every byte of ek.
// A key that fails the check is never kept. Keys are parsed in the heap: they
// are too large for the stack of a small thread.
struct RecipientCache {
    std::unique_ptr<mlkem::EncapsulationKey> slot[2];
    unsigned next = 0;
};
thread_local RecipientCache recipients;

Result<const mlkem::EncapsulationKey*> recipient_key(std::span<const std::uint8_t> ek) {
    for (const auto& s : recipients.slot) {
        if (s && std::memcmp(s->bytes().data(), ek.data(), mlkem::PUBLIC_KEY_BYTES) == 0) return s.get();
    }
    QV_ASSIGN(std::unique_ptr<mlkem::EncapsulationKey> parsed, mlkem::EncapsulationKey::parse_on_heap(ek));
    auto& s = recipients.slot[recipients.next];
    recipients.next ^= 1U;
    s = std::move(parsed);
    return s.get();
}

}  // namespace

void derive_seal_key(SharedSecret x25519_shared, SharedSecret mlkem_shared,
                     std::span<const std::uint8_t, ENCAPSULATION_BYTES> encapsulation,
                     std::span<std::uint8_t, 32> key) {
    mlkem::Scrubbed<std::array<std::uint8_t, 64>> ikm;
    std::memcpy(ikm.v.data(), x25519_shared.data(), 32);
    std::memcpy(ikm.v.data() + 32, mlkem_shared.data(), 32);
    std::array<std::uint8_t, SEAL_LABEL_BYTES + ENCAPSULATION_BYTES> info;
    std::memcpy(info.data(), SEAL_LABEL, SEAL_LABEL_BYTES);
    std::memcpy(info.data() + SEAL_LABEL_BYTES, encapsulation.data(), ENCAPSULATION_BYTES);
    // No salt: RFC 5869's default of 32 zero bytes. L = 32 cannot fail.
    if (!hkdf_sha256(ikm.v, {}, info, key).ok()) fault("HKDF-SHA256 refused a 32-byte output");
}

Result<Seal> seal_hybrid(std::span<const std::uint8_t> x25519_public, std::span<const std::uint8_t> mlkem768_public,
                         std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad) {
    if (x25519_public.size() != X25519_PUBLIC_BYTES)
        return Error::bad_length("x25519 public key", X25519_PUBLIC_BYTES, x25519_public.size());
    if (mlkem768_public.size() != MLKEM768_PUBLIC_BYTES)
        return Error::bad_length("ml-kem-768 public key", MLKEM768_PUBLIC_BYTES, mlkem768_public.size());

    Seal seal;
    Key32 e, x_shared;
    draw_key_material(e.v);
    const bool contributory = x25519::ephemeral_exchange(
        e.v, x25519_public.first<X25519_PUBLIC_BYTES>(),
        std::span(seal.encapsulation).first<X25519_PUBLIC_BYTES>(), x_shared.v);
    if (!contributory) return ErrorKind::InvalidKey;

    // Modulus check, H(ek) and Â (FIPS 203 section 7.2, Algorithm 17).
    QV_ASSIGN(const mlkem::EncapsulationKey* ek, recipient_key(mlkem768_public));
    Key32 m, k_mlkem;
    draw_key_material(m.v);
    ek->encaps(m.v, std::span(seal.encapsulation).subspan<X25519_PUBLIC_BYTES, mlkem::CIPHERTEXT_BYTES>(),
              k_mlkem.v);

    Key32 key;
    derive_seal_key(x_shared.v, k_mlkem.v, seal.encapsulation, key.v);
    QV_CHECK(fill_random(seal.nonce));
    QV_ASSIGN(seal.ciphertext, aes256gcm_seal(key.v, seal.nonce, plaintext, aad));
    return seal;
}

Result<ZeroizingBuffer> HybridKeyPair::open(std::span<const std::uint8_t> encapsulation,
                                            std::span<const std::uint8_t> nonce,
                                            std::span<const std::uint8_t> ciphertext,
                                            std::span<const std::uint8_t> aad) {
    // The plaintext buffer is made before the lock: running out of memory for
    // a forged, huge ciphertext must leave the identity untouched and usable.
    const std::size_t len = ciphertext.size() < AES_GCM_TAG_BYTES ? 0 : ciphertext.size() - AES_GCM_TAG_BYTES;
    ZeroizingBuffer plaintext = allocating([&] { return ZeroizingBuffer(len); });
    QV_ASSIGN(auto guard, lock_.acquire());
    if (encapsulation.size() != ENCAPSULATION_BYTES)
        return Error::bad_length("encapsulation", ENCAPSULATION_BYTES, encapsulation.size());
    const auto enc = encapsulation.first<ENCAPSULATION_BYTES>();

    QV_ASSIGN(const auto x_secret, x25519_secret_.bytes());
    if (x_secret.size() != X25519_SECRET_BYTES) fault("X25519 secret region has the wrong length");
    Key32 x_shared;
    // Our own public key goes in with the secret: no second scalar multiplication.
    if (!x25519::shared_secret(x_secret.first<X25519_SECRET_BYTES>(), enc.first<X25519_PUBLIC_BYTES>(),
                               x_shared.v, x25519_public_.data()))
        return ErrorKind::OpenFailed;

    QV_ASSIGN(const auto dk, mlkem_secret_.bytes());
    if (dk.size() != MLKEM768_SECRET_BYTES) return ErrorKind::InvalidKey;
    QV_CHECK(mlkem::check_decapsulation_key(dk));
    // The prepared Â belongs to the embedded key the builder checked; a
    // stored key that no longer embeds it is refused like a damaged one.
    if (std::memcmp(dk.data() + mlkem::DK_EK_OFFSET, mlkem_public_->bytes().data(), MLKEM768_PUBLIC_BYTES) != 0)
        return ErrorKind::InvalidKey;
    Key32 k_mlkem;
    mlkem::decaps_internal(dk.first<MLKEM768_SECRET_BYTES>(), *mlkem_public_,
                           enc.subspan<X25519_PUBLIC_BYTES, mlkem::CIPHERTEXT_BYTES>(), k_mlkem.v);

    Key32 key;
    derive_seal_key(x_shared.v, k_mlkem.v, enc, key.v);
    QV_CHECK(aes256gcm_open_into(key.v, nonce, ciphertext, aad, plaintext.span()));
    return plaintext;
}

}  // namespace qv::hybrid
