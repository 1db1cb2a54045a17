// Shared by the fuzz targets: property checks that abort (so libFuzzer keeps
// the input), a deterministic random source for fixed keys and seals, and
// the seed writer each target runs when QUORVEX_FUZZ_SEEDS names a folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rng/random.hpp"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

inline std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view text(std::span<const std::uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// splitmix64 from a fixed start: the same bytes in every run, so a target
// and its seeds agree on keys, identities and seals.
inline std::uint64_t g_rng_state = 0;
inline int fixed_source(void* buf, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(buf);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t z = (g_rng_state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        out[i] = static_cast<std::uint8_t>(z ^ (z >> 31));
    }
    return 0;
}
// Runs `body` with the fixed source from its start, then restores the OS one.
template <class F>
auto deterministic(F&& body) {
    g_rng_state = 0;
    qv::set_random_source(&fixed_source);
    struct Restore {
        ~Restore() { qv::set_random_source(nullptr); }
    } restore;
    return body();
}

// Seeds go to $QUORVEX_FUZZ_SEEDS; the target exits after writing them.
inline const char* seed_dir() { return std::getenv("QUORVEX_FUZZ_SEEDS"); }
inline void write_seed(const std::string& name, std::span<const std::uint8_t> data) {
    const std::filesystem::path dir(seed_dir());
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                      static_cast<std::streamsize>(data.size()));
}
inline void write_seed(const std::string& name, std::string_view data) { write_seed(name, bytes(data)); }

// A little reader over the fuzz input: bytes taken from the front.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::span<const std::uint8_t> take(std::size_t k) {
        k = k < n_ ? k : n_;
        std::span<const std::uint8_t> s(p_, k);
        p_ += k;
        n_ -= k;
        return s;
    }
    std::span<const std::uint8_t> rest() { return take(n_); }
    bool empty() const { return n_ == 0; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// In seed mode (the run script asks for the seed corpus), writes the seeds
// and ends the process; otherwise returns and fuzzing goes on.
inline void seed_mode(void (*write_seeds)()) {
    if (seed_dir() != nullptr) {
        write_seeds();
        std::exit(0);
    }
}

}  // namespace fuzz
