// decode_base64url against a plain table-driven reference (RFC 4648 section
// 5, canonical: trailing "=" dropped, no 4k+1 length, unused bits zero), and
// encoding round trips both ways.
#include <array>
#include <optional>

#include "common.hpp"
#include "json/base64url.hpp"

namespace {

using fuzz::Bytes;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::span<const std::uint8_t> b) {
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= b.size(); i += 3) {
        const std::uint32_t v = b[i] << 16 | b[i + 1] << 8 | b[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
    }
    if (b.size() - i == 1) {
        out += kAlphabet[b[i] >> 2];
        out += kAlphabet[(b[i] & 3) << 4];
    } else if (b.size() - i == 2) {
        const std::uint32_t v = b[i] << 8 | b[i + 1];
        out += kAlphabet[v >> 10];
        out += kAlphabet[(v >> 4) & 63];
        out += kAlphabet[(v & 15) << 2];
    }
    return out;
}

std::optional<Bytes> reference_decode(std::string_view t) {
    while (!t.empty() && t.back() == '=') t.remove_suffix(1);
    if (t.size() % 4 == 1) return std::nullopt;
    std::array<int, 256> value;
    value.fill(-1);
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = i;
    Bytes out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : t) {
        const int v = value[static_cast<unsigned char>(c)];
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1U << bits) - 1;
        }
    }
    if (acc != 0) return std::nullopt;  // set bits left over: not canonical
    return out;
}

void write_seeds() {
    const char* seeds[] = {"", "QQ", "QUI", "QUJD", "QUJDRA==", "-_-_", "QR", "Q", "QUJ=D", "QUJD====", "A\xff"};
    int i = 0;
    for (const char* s : seeds) fuzz::write_seed("seed" + std::to_string(i++), s);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::seed_mode(write_seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view t = fuzz::text({data, size});
    auto ours = qv::json::decode_base64url(t);
    const auto want = reference_decode(t);
    FUZZ_CHECK(ours.ok() == want.has_value());
    if (ours.ok()) {
        FUZZ_CHECK(Bytes(ours->data(), ours->data() + ours->size()) == *want);
        std::string_view stripped = t;
        while (!stripped.empty() && stripped.back() == '=') stripped.remove_suffix(1);
        FUZZ_CHECK(encode(*want) == stripped);  // only the canonical text decodes
    } else {
        FUZZ_CHECK(ours.error() == qv::Error::malformed("base64url"));
    }
    // The input as bytes: encoded, it decodes back.
    auto back = qv::json::decode_base64url(encode({data, size}));
    FUZZ_CHECK(back.ok() && back->size() == size && std::equal(data, data + size, back->data()));
    return 0;
}
