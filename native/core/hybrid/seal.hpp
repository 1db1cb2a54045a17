// The hybrid seal: an ephemeral X25519 exchange and an ML-KEM-768
// encapsulation, both fed to HKDF-SHA256, key an AES-256-GCM seal.
//
//   encapsulation = E (32, ephemeral X25519 public) ‖ c (1088, ML-KEM-768)
//   key = HKDF-SHA256(salt none, ss_x25519 ‖ ss_mlkem,
//                     "plenvik-sdk-hybrid-seal-v1" ‖ encapsulation, 32)
//   ciphertext = AES-256-GCM(key, nonce (12), plaintext, aad) ‖ tag (16)
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "error/result.hpp"
#include "mlkem/params.hpp"

namespace qv::hybrid {

inline constexpr std::size_t ENCAPSULATION_BYTES = 32 + mlkem::CIPHERTEXT_BYTES;  // 1120
inline constexpr char SEAL_LABEL[] = "plenvik-sdk-hybrid-seal-v1";
inline constexpr std::size_t SEAL_LABEL_BYTES = sizeof(SEAL_LABEL) - 1;  // 26

using SharedSecret = std::span<const std::uint8_t, 32>;

// The AES-256 key of a seal; the 64-byte IKM copy is zeroed before return.
void derive_seal_key(SharedSecret x25519_shared, SharedSecret mlkem_shared,
                     std::span<const std::uint8_t, ENCAPSULATION_BYTES> encapsulation,
                     std::span<std::uint8_t, 32> key);

struct Seal {
    std::array<std::uint8_t, ENCAPSULATION_BYTES> encapsulation;
    std::array<std::uint8_t, 12> nonce;
    std::vector<std::uint8_t> ciphertext;
};

// Seals `plaintext` to an identity's two public keys. Errors in order:
// BadLength "x25519 public key" (32), BadLength "ml-kem-768 public key"
// (1184), InvalidKey (small-order X25519 key; ML-KEM modulus check),
// RngFailed (nonce). A failing random source for e or m is an internal fault.
Result<Seal> seal_hybrid(std::span<const std::uint8_t> x25519_public, std::span<const std::uint8_t> mlkem768_public,
                         std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad);

}  // namespace qv::hybrid
