#include "hybrid/keypair.hpp"

#include <cstring>
#include <utility>

#include "hybrid/draw.hpp"
#include "mlkem/scrub.hpp"

namespace qv::hybrid {

Result<IdentityParts> build_identity(std::span<const std::uint8_t> s, std::span<const std::uint8_t> dk,
                                     const mlkem::EncapsulationKey* prepared) {
    if (s.size() != X25519_SECRET_BYTES)
        return Error::bad_length("x25519 secret key", X25519_SECRET_BYTES, s.size());
    if (dk.size() != MLKEM768_SECRET_BYTES)
        return Error::bad_length("ml-kem-768 secret key", MLKEM768_SECRET_BYTES, dk.size());

    std::array<std::uint8_t, X25519_PUBLIC_BYTES> x_public;
    x25519::public_key(s.first<X25519_SECRET_BYTES>(), x_public);

    // Modulus and hash checks (FIPS 203 sections 7.2, 7.3) on every path,
    // freshly generated keys included.
    QV_CHECK(mlkem::check_decapsulation_key(dk));
    const auto embedded = dk.subspan(mlkem::DK_EK_OFFSET, MLKEM768_PUBLIC_BYTES);
    std::unique_ptr<const mlkem::EncapsulationKey> ek;
    if (prepared != nullptr && std::memcmp(prepared->bytes().data(), embedded.data(), embedded.size()) == 0) {
        ek = std::make_unique<const mlkem::EncapsulationKey>(*prepared);
    } else {
        QV_ASSIGN(ek, mlkem::EncapsulationKey::parse_on_heap(embedded));
    }

    QV_ASSIGN(LockedRegion x_region, LockedRegion::from_slice(s));
    QV_ASSIGN(LockedRegion m_region, LockedRegion::from_slice(dk));  // x_region released on failure
    return IdentityParts{std::move(ek), std::move(x_region), std::move(m_region), x_public};
}

Result<IdentityParts> generate_identity() {
    mlkem::Scrubbed<std::array<std::uint8_t, 32>> s, d, z;
    draw_key_material(s.v);
    draw_key_material(d.v);
    draw_key_material(z.v);
    ZeroizingBuffer dk(MLKEM768_SECRET_BYTES);
    // In the heap (over 7 KiB), not on the stack of what may be a small thread.
    const std::unique_ptr<const mlkem::EncapsulationKey> ek(new const mlkem::EncapsulationKey(
        mlkem::keygen_internal(d.v, z.v, std::span(dk.data(), MLKEM768_SECRET_BYTES).first<MLKEM768_SECRET_BYTES>())));
    return build_identity(s.v, dk.span(), ek.get());
}

Result<IdentityParts> identity_from_secrets(SecretBox& x25519_secret, SecretBox& mlkem768_secret) {
    QV_ASSIGN(ZeroizingBuffer s, x25519_secret.copy_bytes());
    QV_ASSIGN(ZeroizingBuffer dk, mlkem768_secret.copy_bytes());
    return build_identity(s.span(), dk.span());
}

HybridKeyPair::HybridKeyPair(IdentityParts parts) noexcept
    : mlkem_public_(std::move(parts.mlkem_public)),
      x25519_secret_(std::move(parts.x25519_secret)),
      mlkem_secret_(std::move(parts.mlkem_secret)),
      x25519_public_(parts.x25519_public) {}

Result<std::span<const std::uint8_t, X25519_PUBLIC_BYTES>> HybridKeyPair::x25519_public() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return std::span<const std::uint8_t, X25519_PUBLIC_BYTES>(x25519_public_);
}

Result<std::span<const std::uint8_t, MLKEM768_PUBLIC_BYTES>> HybridKeyPair::mlkem768_public() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return mlkem_public_->bytes();
}

Result<LockedRegion> HybridKeyPair::x25519_secret() {
    QV_ASSIGN(auto guard, lock_.acquire());
    return x25519_secret_.try_clone();
}

Result<LockedRegion> HybridKeyPair::mlkem768_secret() {
    QV_ASSIGN(auto guard, lock_.acquire());
    return mlkem_secret_.try_clone();
}

Status HybridKeyPair::wipe() {
    QV_ASSIGN(auto guard, lock_.inspect());
    x25519_secret_.wipe();
    mlkem_secret_.wipe();
    return {};
}

Result<bool> HybridKeyPair::is_wiped() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return x25519_secret_.wiped();
}

}  // namespace qv::hybrid
