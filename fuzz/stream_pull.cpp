// stream_pull for a fixed key and header.
// Mode 0 (first byte even): arbitrary chunks. A refused chunk leaves the
// state as it was; an accepted one must be exactly the chunk the pushing
// side would have made from that state for the plaintext and tag it gave.
// Mode 1: messages from the input are pushed, one bit of one chunk (or of
// the AD) is flipped: every chunk before it pulls back, the flipped one is
// refused without a byte of plaintext written or the state moving, and the
// genuine chunk then pulls on as if nothing had happened.
#include <algorithm>
#include <memory>

#include "common.hpp"
#include "stream/stream.hpp"

namespace {

using fuzz::Bytes;
namespace st = qv::stream;
const Bytes kKey = [] {
    Bytes k(32);
    for (int i = 0; i < 32; ++i) k[i] = static_cast<std::uint8_t>(0x11 * i + 3);
    return k;
}();
const Bytes kHeader = [] {
    Bytes h(st::HEADER_BYTES);
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = static_cast<std::uint8_t>(0xa0 + i);
    return h;
}();
std::unique_ptr<qv::SecretBox> g_key;

Bytes state_of(qv::LockedRegion& r) {
    auto s = r.bytes_mut().value();
    return Bytes(s.begin(), s.end());
}

void set_state(qv::LockedRegion& r, const Bytes& b) { std::copy(b.begin(), b.end(), r.bytes_mut()->begin()); }

void arbitrary_chunks(fuzz::Input& in) {
    qv::LockedRegion pull = st::stream_init(*g_key, kHeader).value();
    qv::LockedRegion mirror = st::stream_init(*g_key, kHeader).value();
    while (!in.empty()) {
        const std::size_t len = in.byte() | (in.byte() & 0x03) << 8;
        const auto ad = in.take(in.byte() & 0x1f);
        const auto chunk = in.take(len);
        const Bytes before = state_of(pull);
        auto got = st::stream_pull(pull.bytes_mut().value(), chunk, ad);
        if (!got.ok()) {
            FUZZ_CHECK(got.error().kind == qv::ErrorKind::OpenFailed);
            FUZZ_CHECK(state_of(pull) == before);
            continue;
        }
        set_state(mirror, before);
        const auto again = st::stream_push(mirror.bytes_mut().value(), got->plaintext.span(), ad, got->tag);
        FUZZ_CHECK(std::equal(chunk.begin(), chunk.end(), again.data.get(), again.data.get() + again.size));
        FUZZ_CHECK(state_of(mirror) == state_of(pull));
    }
}

void flipped_chunk(fuzz::Input& in) {
    qv::LockedRegion push = st::stream_init(*g_key, kHeader).value();
    qv::LockedRegion pull = st::stream_init(*g_key, kHeader).value();
    const auto ad_bytes = in.take(in.byte() & 0x0f);
    const Bytes ad(ad_bytes.begin(), ad_bytes.end());
    const std::size_t count = 1 + in.byte() % 4;
    std::vector<Bytes> messages, chunks;
    std::vector<std::uint8_t> tags;
    for (std::size_t i = 0; i < count; ++i) {
        const auto m = in.take(in.byte());
        const std::uint8_t tag = i + 1 == count ? st::TAG_FINAL : (in.byte() & 1 ? st::TAG_REKEY : st::TAG_MESSAGE);
        const auto c = st::stream_push(push.bytes_mut().value(), m, ad, tag);
        messages.emplace_back(m.begin(), m.end());
        chunks.emplace_back(c.data.get(), c.data.get() + c.size);
        tags.push_back(tag);
    }
    const std::size_t target = in.byte() % count;
    const bool flip_ad = !ad.empty() && (in.byte() & 0x80);
    const std::size_t pos = (in.byte() | in.byte() << 8);
    for (std::size_t i = 0; i < count; ++i) {
        if (i == target) {
            Bytes bad = chunks[i], bad_ad = ad;
            if (flip_ad) {
                bad_ad[(pos >> 3) % bad_ad.size()] ^= static_cast<std::uint8_t>(1U << (pos & 7));
            } else {
                bad[(pos >> 3) % bad.size()] ^= static_cast<std::uint8_t>(1U << (pos & 7));
            }
            const Bytes before = state_of(pull);
            Bytes plaintext(st::plaintext_len(bad.size()), 0xa5);
            auto got = st::stream_pull(pull.bytes_mut().value(), st::chunk_parts(bad), bad_ad, plaintext);
            FUZZ_CHECK(!got.ok() && got.error().kind == qv::ErrorKind::OpenFailed);
            FUZZ_CHECK(std::all_of(plaintext.begin(), plaintext.end(), [](std::uint8_t b) { return b == 0xa5; }));
            FUZZ_CHECK(state_of(pull) == before);
        }
        auto got = st::stream_pull(pull.bytes_mut().value(), chunks[i], ad);
        FUZZ_CHECK(got.ok() && got->tag == tags[i]);
        FUZZ_CHECK(Bytes(got->plaintext.data.get(), got->plaintext.data.get() + got->plaintext.size) == messages[i]);
    }
}

void write_seeds() {
    // Mode 0: genuine chunks in the arbitrary-chunk layout, then noise.
    qv::LockedRegion push = st::stream_init(*g_key, kHeader).value();
    Bytes seed{0};
    for (std::size_t n : {0, 5, 40}) {
        const Bytes m(n, static_cast<std::uint8_t>(n));
        const Bytes ad(n % 7, 0x61);
        const auto c = st::stream_push(push.bytes_mut().value(), m, ad, n == 40 ? st::TAG_FINAL : st::TAG_MESSAGE);
        seed.push_back(static_cast<std::uint8_t>(c.size & 0xff));
        seed.push_back(static_cast<std::uint8_t>(c.size >> 8));
        seed.push_back(static_cast<std::uint8_t>(ad.size()));
        seed.insert(seed.end(), ad.begin(), ad.end());
        seed.insert(seed.end(), c.data.get(), c.data.get() + c.size);
    }
    fuzz::write_seed("genuine", seed);
    fuzz::write_seed("short", Bytes{0, 16, 0, 0, 1, 2, 3});
    // Mode 1: ad, count, messages, target, flip choice, bit position.
    fuzz::write_seed("flip", Bytes{1, 3, 'a', 'd', 'x', 2, 4, 'a', 'b', 'c', 'd', 1, 0, 1, 0x80, 0x10, 0x02});
    fuzz::write_seed("flip_mac", Bytes{1, 0, 0, 3, 'x', 'y', 'z', 0, 0xff, 0x00});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_key = std::make_unique<qv::SecretBox>(qv::LockedRegion::from_slice(kKey).value());
    fuzz::seed_mode(write_seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.byte() & 1) {
        flipped_chunk(in);
    } else {
        arbitrary_chunks(in);
    }
    return 0;
}
