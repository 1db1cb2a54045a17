#include "rng/random.hpp"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <atomic>

namespace qv {

namespace {

int os_getentropy(void* buf, std::size_t n) { return ::getentropy(buf, n); }

std::atomic<RandomSource> g_source{&os_getentropy};

}  // namespace

Status fill_random(std::span<std::uint8_t> out) noexcept {
    const RandomSource source = g_source.load(std::memory_order_acquire);
    constexpr std::size_t kChunk = 256;
    for (std::size_t off = 0; off < out.size(); off += kChunk) {
        const std::size_t n = std::min(kChunk, out.size() - off);
        if (source(out.data() + off, n) != 0) return ErrorKind::RngFailed;
    }
    return {};
}

RandomSource set_random_source(RandomSource source) noexcept {
    return g_source.exchange(source != nullptr ? source : &os_getentropy, std::memory_order_acq_rel);
}

}  // namespace qv
