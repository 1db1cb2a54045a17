// ML-KEM-768 of the native core behind a C interface, so that the benchmark
// can time the KEM alone through ctypes. Built by bench/hybrid.py against the
// static libraries of a build directory.
#include <cstdint>
#include <span>

#include "mlkem/mlkem.hpp"

using namespace qv::mlkem;

extern "C" {

void* qv_bench_keygen(const std::uint8_t* seed, std::uint8_t* dk) {
    auto ek = keygen_internal(std::span<const std::uint8_t, 32>(seed, 32),
                              std::span<const std::uint8_t, 32>(seed + 32, 32),
                              std::span<std::uint8_t, SECRET_KEY_BYTES>(dk, SECRET_KEY_BYTES));
    return new EncapsulationKey(ek);
}

void* qv_bench_parse(const std::uint8_t* ek) {
    auto key = EncapsulationKey::parse(std::span<const std::uint8_t>(ek, PUBLIC_KEY_BYTES));
    return key.ok() ? new EncapsulationKey(key.value()) : nullptr;
}

void qv_bench_free(void* ek) { delete static_cast<EncapsulationKey*>(ek); }

void qv_bench_encaps(const void* ek, const std::uint8_t* m, std::uint8_t* c, std::uint8_t* k) {
    static_cast<const EncapsulationKey*>(ek)->encaps(std::span<const std::uint8_t, 32>(m, 32),
                                                     std::span<std::uint8_t, CIPHERTEXT_BYTES>(c, CIPHERTEXT_BYTES),
                                                     std::span<std::uint8_t, 32>(k, 32));
}

void qv_bench_decaps(const std::uint8_t* dk, const void* ek, const std::uint8_t* c, std::uint8_t* k) {
    decaps_internal(std::span<const std::uint8_t, SECRET_KEY_BYTES>(dk, SECRET_KEY_BYTES),
                    *static_cast<const EncapsulationKey*>(ek),
                    std::span<const std::uint8_t, CIPHERTEXT_BYTES>(c, CIPHERTEXT_BYTES),
                    std::span<std::uint8_t, 32>(k, 32));
}

}  // extern "C"
