// ML-KEM-768 (FIPS 203): KeyGen_internal, Encaps_internal, Decaps_internal
// and the key checks of section 7.
//
// Everything that touches secret data (ŝ, m, r, K, the re-encryption in
// Decaps) runs without secret-dependent branches or memory indices, and every
// secret working value is overwritten with zeros before it goes away.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "error/result.hpp"
#include "mlkem/params.hpp"
#include "mlkem/poly.hpp"
#include "mlkem/symmetric.hpp"

namespace qv::mlkem {

// A checked encapsulation key with what encapsulation and decapsulation need
// made once: t̂ decoded, Â expanded from ρ, and H(ek). All public; it may sit
// in ordinary memory and be reused for every operation with this key.
class EncapsulationKey {
public:
    // FIPS 203 section 7.2: InvalidKey unless ek is 1184 bytes and passes the
    // modulus check (ByteEncode12(ByteDecode12(t̂ bytes)) == t̂ bytes).
    static Result<EncapsulationKey> parse(std::span<const std::uint8_t> ek);
    // As parse, built in the heap: the key is over 7 KiB, too much to pass
    // through the stack of a small thread.
    static Result<std::unique_ptr<EncapsulationKey>> parse_on_heap(std::span<const std::uint8_t> ek);

    std::span<const std::uint8_t, PUBLIC_KEY_BYTES> bytes() const noexcept { return ek_; }
    std::span<const std::uint8_t, 32> hash() const noexcept { return h_; }

    // ML-KEM.Encaps_internal(ek, m) (Algorithm 17): c and the shared secret K.
    void encaps(std::span<const std::uint8_t, 32> m, std::span<std::uint8_t, CIPHERTEXT_BYTES> c,
                std::span<std::uint8_t, SHARED_SECRET_BYTES> k) const;

private:
    friend EncapsulationKey keygen_internal(std::span<const std::uint8_t, SEED_BYTES>,
                                            std::span<const std::uint8_t, SEED_BYTES>,
                                            std::span<std::uint8_t, SECRET_KEY_BYTES>);
    friend Result<EncapsulationKey> decapsulation_key_public(std::span<const std::uint8_t>);
    friend void decaps_internal(std::span<const std::uint8_t, SECRET_KEY_BYTES>, const EncapsulationKey&,
                                std::span<const std::uint8_t, CIPHERTEXT_BYTES>,
                                std::span<std::uint8_t, SHARED_SECRET_BYTES>);
    EncapsulationKey() = default;
    // K-PKE.Encrypt(ek, m, r) (Algorithm 14).
    void encrypt(std::span<std::uint8_t, CIPHERTEXT_BYTES> c, std::span<const std::uint8_t, 32> m,
                 std::span<const std::uint8_t, 32> r, Hasher& hasher) const;

    std::array<std::uint8_t, PUBLIC_KEY_BYTES> ek_{};
    std::array<std::uint8_t, 32> h_{};
    PolyVec t_hat_{};
    PolyMatrix a_hat_{};
};

// The modulus check alone (FIPS 203 section 7.2), without expanding Â.
Status check_encapsulation_key(std::span<const std::uint8_t> ek);

// FIPS 203 section 7.3 on an expanded decapsulation key: InvalidKey unless
// dk is 2400 bytes, its embedded ek passes the modulus check and its stored
// hash equals SHA3-256 of that ek. z and dk_PKE are not checked.
Status check_decapsulation_key(std::span<const std::uint8_t> dk);

// check_decapsulation_key, then the embedded ek prepared for use.
Result<EncapsulationKey> decapsulation_key_public(std::span<const std::uint8_t> dk);

// ML-KEM.KeyGen_internal(d, z) (Algorithm 16): writes the expanded dk (whose
// bytes 1152..2336 are ek) and returns ek prepared, so a caller need not
// expand Â a second time.
EncapsulationKey keygen_internal(std::span<const std::uint8_t, SEED_BYTES> d,
                                 std::span<const std::uint8_t, SEED_BYTES> z,
                                 std::span<std::uint8_t, SECRET_KEY_BYTES> dk);

// ML-KEM.Decaps_internal(dk, c) (Algorithm 18) with implicit rejection. dk
// must have passed check_decapsulation_key and `ek` must be its embedded
// key (a mismatch is an internal fault). Never fails: a damaged ciphertext
// gives the rejection key J(z ‖ c). Comparison and selection are constant time.
void decaps_internal(std::span<const std::uint8_t, SECRET_KEY_BYTES> dk, const EncapsulationKey& ek,
                     std::span<const std::uint8_t, CIPHERTEXT_BYTES> c,
                     std::span<std::uint8_t, SHARED_SECRET_BYTES> k);

}  // namespace qv::mlkem
