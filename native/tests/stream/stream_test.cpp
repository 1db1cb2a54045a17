// The secret stream's state machine where Python cannot reach it: refusals
// that leave the state alone, rekeying on both sides (any tag with the rekey
// bit, the final tag included), the counter wrapping,
// the keystream limit, and checks on a wiped or forked state. Interoperation
// with libsodium, in both directions, is in tests/test_secret_stream_vectors.py.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "memory/policy.hpp"
#include "stream/sides.hpp"
#include "stream/stream.hpp"

namespace qv::stream {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes iota(std::size_t n, std::uint8_t start = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(start + i);
    return out;
}

SecretBox make_box(const Bytes& bytes) { return SecretBox(LockedRegion::from_slice(bytes).value()); }

Bytes to_bytes(const Output& o) { return Bytes(o.data.get(), o.data.get() + o.size); }

Bytes snapshot(LockedRegion& state) {
    const auto view = state.bytes().value();
    return Bytes(view.begin(), view.end());
}

std::span<std::uint8_t> view(LockedRegion& state) { return state.bytes_mut().value(); }

struct Pair {
    SecretBox key = make_box(iota(32, 1));
    Bytes header = iota(24, 50);
    LockedRegion push = stream_init(key, header).value();
    LockedRegion pull = stream_init(key, header).value();
    Bytes push_chunk(const Bytes& m, const Bytes& ad = {}, std::uint8_t tag = TAG_MESSAGE) {
        return to_bytes(stream_push(view(push), m, ad, tag));
    }
    Result<Pulled> pull_chunk(const Bytes& c, const Bytes& ad = {}) { return stream_pull(view(pull), c, ad); }
};

TEST(SecretStream, RefusedChunksLeaveTheStateAndTheNextChunkOpens) {
    Pair p;
    const Bytes c1 = p.push_chunk(iota(40), {9});
    const Bytes c2 = p.push_chunk(iota(3), {9});
    const Bytes before = snapshot(p.pull);

    std::vector<Bytes> bad = {{}, Bytes(16, 0), c2, {c1.begin(), c1.end() - 1}};
    for (std::size_t i = 0; i < c1.size(); ++i) {
        Bytes altered = c1;
        altered[i] ^= 0x01;
        bad.push_back(altered);
    }
    for (const Bytes& c : bad) {
        auto r = p.pull_chunk(c, {9});
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::OpenFailed);
        EXPECT_EQ(snapshot(p.pull), before);
    }
    EXPECT_FALSE(p.pull_chunk(c1, {8}).ok());
    EXPECT_FALSE(p.pull_chunk(c1).ok());
    EXPECT_EQ(snapshot(p.pull), before);

    ASSERT_TRUE(p.pull_chunk(c1, {9}).ok());
    EXPECT_FALSE(p.pull_chunk(c1, {9}).ok());  // repeated
    ASSERT_TRUE(p.pull_chunk(c2, {9}).ok());
}

TEST(SecretStream, PullSideRekeysInStepOnAnyRekeyTag) {
    for (std::uint8_t tag : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{6}, std::uint8_t{255}}) {
        Pair p;
        const Bytes before = snapshot(p.push);
        auto pulled = p.pull_chunk(p.push_chunk({7}, {}, tag));
        ASSERT_TRUE(pulled.ok());
        EXPECT_EQ(pulled->tag, tag);
        EXPECT_EQ(snapshot(p.push), snapshot(p.pull));
        const Bytes s = snapshot(p.pull);
        const bool rekeyed = (tag & TAG_REKEY) != 0;
        EXPECT_EQ(s[32], rekeyed ? 1 : 2);
        EXPECT_EQ(Bytes(s.begin(), s.begin() + 32) != Bytes(before.begin(), before.begin() + 32), rekeyed);
        ASSERT_TRUE(p.pull_chunk(p.push_chunk({8})).ok());
    }
}

void set_counter(LockedRegion& state, std::uint32_t v) {
    auto s = view(state);
    for (int i = 0; i < 4; ++i) s[STATE_COUNTER + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(SecretStream, CounterWrapsToZeroAndRekeysOnBothSides) {
    Pair p;
    set_counter(p.push, 0xfffffffeU);
    set_counter(p.pull, 0xfffffffeU);
    ASSERT_TRUE(p.pull_chunk(p.push_chunk({1})).ok());
    const Bytes near = snapshot(p.push);
    EXPECT_EQ(Bytes(near.begin() + 32, near.begin() + 36), Bytes({0xff, 0xff, 0xff, 0xff}));

    ASSERT_TRUE(p.pull_chunk(p.push_chunk({2})).ok());
    const Bytes wrapped = snapshot(p.push);
    EXPECT_EQ(wrapped, snapshot(p.pull));
    EXPECT_EQ(Bytes(wrapped.begin() + 32, wrapped.begin() + 36), Bytes({1, 0, 0, 0}));
    EXPECT_NE(Bytes(wrapped.begin(), wrapped.begin() + 32), Bytes(near.begin(), near.begin() + 32));
    auto next = p.pull_chunk(p.push_chunk({3, 4}));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(to_bytes(next->plaintext), Bytes({3, 4}));
}

Result<Bytes> push_chunk(PushStream& push, const Bytes& m, const Bytes& ad, bool final) {
    Bytes chunk(m.size() + ABYTES);
    QV_CHECK(push.push(m, ad, final, chunk));
    return chunk;
}

Result<Pulled> pull_chunk(PullStream& pull, const Bytes& c, const Bytes& ad) {
    Output plaintext(plaintext_len(c.size()));
    QV_ASSIGN(const std::uint8_t tag, pull.pull(chunk_parts(c), ad, plaintext.span()));
    return Pulled{std::move(plaintext), tag};
}

// A message span over 2^38 bytes of inaccessible address space: reading any
// of it would crash, so the fault must come before the data is touched.
struct Unreadable {
    Unreadable() {
        p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    }
    ~Unreadable() {
        if (p != MAP_FAILED) munmap(p, len);
    }
    std::span<const std::uint8_t> span(std::size_t n) const { return {static_cast<const std::uint8_t*>(p), n}; }
    std::size_t len = (std::size_t{1} << 38) + 4096;
    void* p;
};

TEST(SecretStream, KeystreamLimitIsAFaultThatPoisonsThePushSide) {
    Unreadable huge;
    ASSERT_NE(huge.p, MAP_FAILED);
    SecretBox key = make_box(iota(32));
    PushStream push(start_push(key).value());
    const Bytes before = snapshot(push.state());
    const auto out = huge.span(MESSAGE_BYTES_MAX + 1 + ABYTES);
    try {
        (void)push.push(huge.span(MESSAGE_BYTES_MAX + 1), {}, false,
                        {const_cast<std::uint8_t*>(out.data()), out.size()});
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(std::string(f.what()).rfind("end of keystream reached", 0), 0U);
    }
    EXPECT_EQ(snapshot(push.state()), before);
    EXPECT_EQ(push_chunk(push, {}, {}, false).error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(push.is_finished().error().kind, ErrorKind::LockPoisoned);
}

TEST(StreamSides, ChecksRunInOrderUnderTheLock) {
    SecretBox key = make_box(iota(32));
    PushStream push(start_push(key).value());
    push.state().wipe();
    EXPECT_EQ(push_chunk(push, {}, {}, false).error().kind, ErrorKind::Wiped);

    SecretBox key2 = make_box(iota(32));
    PullStream pull(stream_init(key2, iota(24)).value());
    std::memset(pull.state().data_area(), 0, 8);  // canary gone
    EXPECT_EQ(pull_chunk(pull, Bytes(17), {}).error().kind, ErrorKind::ForkedChild);
}

}  // namespace
}  // namespace qv::stream
