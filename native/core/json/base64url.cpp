#include "json/base64url.hpp"

#include <cstdint>

namespace qv::json {

namespace {

// All ones when lo <= c <= hi, else zero; c, lo, hi in 0..255.
std::uint32_t in_range(std::uint32_t c, std::uint32_t lo, std::uint32_t hi) noexcept {
    // Either difference wraps to a value with bit 31 set when c is outside.
    const std::uint32_t outside = ((c - lo) | (hi - c)) >> 31;
    return outside - 1U;
}

// The 6-bit value of an alphabet character; `bad` gets all ones otherwise.
std::uint32_t sextet(unsigned char ch, std::uint32_t& bad) noexcept {
    const std::uint32_t c = ch;
    const std::uint32_t upper = in_range(c, 'A', 'Z');
    const std::uint32_t lower = in_range(c, 'a', 'z');
    const std::uint32_t digit = in_range(c, '0', '9');
    const std::uint32_t dash = in_range(c, '-', '-');
    const std::uint32_t under = in_range(c, '_', '_');
    bad |= ~(upper | lower | digit | dash | under);
    return (upper & (c - 'A')) | (lower & (c - 'a' + 26)) | (digit & (c - '0' + 52)) | (dash & 62U) |
           (under & 63U);
}

}  // namespace

Result<ZeroizingBuffer> decode_base64url(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && text[n - 1] == '=') --n;
    const std::size_t full = n / 4;
    const std::size_t rest = n % 4;
    if (rest == 1) return Error::malformed("base64url");

    ZeroizingBuffer out(3 * (full + (rest != 0 ? 1 : 0)));
    std::uint32_t bad = 0;
    std::size_t o = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint32_t v = sextet(text[i], bad) << 18 | sextet(text[i + 1], bad) << 12 |
                                sextet(text[i + 2], bad) << 6 | sextet(text[i + 3], bad);
        out[o++] = static_cast<std::uint8_t>(v >> 16);
        out[o++] = static_cast<std::uint8_t>(v >> 8);
        out[o++] = static_cast<std::uint8_t>(v);
    }
    if (rest == 2) {
        const std::uint32_t a = sextet(text[i], bad);
        const std::uint32_t b = sextet(text[i + 1], bad);
        bad |= b & 0x0F;  // the low 4 bits of the last character carry no data
        out[o++] = static_cast<std::uint8_t>(a << 2 | b >> 4);
    } else if (rest == 3) {
        const std::uint32_t a = sextet(text[i], bad);
        const std::uint32_t b = sextet(text[i + 1], bad);
        const std::uint32_t c = sextet(text[i + 2], bad);
        bad |= c & 0x03;  // the low 2 bits of the last character carry no data
        out[o++] = static_cast<std::uint8_t>(a << 2 | b >> 4);
        out[o++] = static_cast<std::uint8_t>(b << 4 | c >> 2);
    }
    if (bad != 0) return Error::malformed("base64url");  // `out` is zeroed as it goes
    out.resize(o);
    return out;
}

}  // namespace qv::json
