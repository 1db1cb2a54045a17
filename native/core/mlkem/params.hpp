// ML-KEM-768 parameters and byte sizes (FIPS 203, section 8, table 2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::mlkem {

inline constexpr int N = 256;
inline constexpr int Q = 3329;
inline constexpr int K = 3;
inline constexpr int ETA1 = 2;
inline constexpr int ETA2 = 2;
inline constexpr int DU = 10;
inline constexpr int DV = 4;

inline constexpr std::size_t POLY_BYTES = 384;                        // ByteEncode12 of one polynomial
inline constexpr std::size_t PUBLIC_KEY_BYTES = K * POLY_BYTES + 32;  // ek = t̂ ‖ ρ: 1184
inline constexpr std::size_t SECRET_KEY_BYTES = 2 * K * POLY_BYTES + 96;  // dk: 2400
inline constexpr std::size_t CIPHERTEXT_BYTES = K * 32 * DU + 32 * DV;    // 1088
inline constexpr std::size_t SHARED_SECRET_BYTES = 32;
inline constexpr std::size_t SEED_BYTES = 32;

// Offsets inside the expanded decapsulation key (FIPS 203, Algorithm 16).
inline constexpr std::size_t DK_EK_OFFSET = K * POLY_BYTES;                     // 1152
inline constexpr std::size_t DK_HASH_OFFSET = DK_EK_OFFSET + PUBLIC_KEY_BYTES;  // 2336
inline constexpr std::size_t DK_Z_OFFSET = DK_HASH_OFFSET + 32;                 // 2368

}  // namespace qv::mlkem
