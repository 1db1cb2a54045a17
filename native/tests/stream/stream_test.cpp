// The secret stream's state machine: libsodium-written chunks, round trips,
// refusals that leave the state alone, rekeying on both sides.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "memory/policy.hpp"
#include "stream/sides.hpp"
#include "stream/stream.hpp"

namespace qv::stream {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes unhex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

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

// A stream written by libsodium 1.0.18's crypto_secretstream_xchacha20poly1305
// (through PyNaCl) under key 00..1f: tags 0, 2 (rekey), 0, 1, 3 (final).
struct KnownChunk {
    Bytes message;
    Bytes ad;
    std::uint8_t tag;
    const char* chunk;
};
const char* const kHeader = "44f580206cb1bd5901f05062353c8fbd90563d09517f9182";
const std::vector<KnownChunk> kKnown = {
    {{}, {}, 0, "038af4ebf39353e6b4aec2234298b1c341"},
    {{'h', 'e', 'l', 'l', 'o'}, {'a', 'd'}, 2, "2782684c193443ba3e70cb423d311368c907c31ba75f"},
    {iota(17), {}, 0, "8ab8b3f3c52019ecae02cded5529980279a76c4ceade30839c907d1898dc9c3591ca"},
    {iota(100), Bytes(33, 0), 1,
     "b9540178c7d91da08c0a12226878be580edeb74a5f98fae3da723a8bd572d088c64d2ca89817de987eccb657b3b5573b370bebaa1001"
     "78acd50cd7817e70fb0aa2b49e90741d8c9382e6360bbde09bd0bfa4f830aba5ae0ffdf804c3cbddbe5c37c2b3e44bee7b673a3d1c4d6e"
     "e08674afaba347a8"},
    {{'b', 'y', 'e'}, {}, 3, "6a0f7ab92a7b142de96197e74d28d482443ee9c1"},
};

TEST(SecretStream, OpensLibsodiumChunksAndWritesTheSameBytes) {
    SecretBox key = make_box(iota(32));
    LockedRegion pull_state = stream_init(key, unhex(kHeader)).value();
    LockedRegion push_state = stream_init(key, unhex(kHeader)).value();
    for (const KnownChunk& k : kKnown) {
        const Bytes chunk = unhex(k.chunk);
        EXPECT_EQ(to_bytes(stream_push(view(push_state), k.message, k.ad, k.tag)), chunk);
        auto pulled = stream_pull(view(pull_state), chunk, k.ad);
        ASSERT_TRUE(pulled.ok());
        EXPECT_EQ(to_bytes(pulled->plaintext), k.message);
        EXPECT_EQ(pulled->tag, k.tag);
    }
    EXPECT_EQ(snapshot(push_state), snapshot(pull_state));
}

TEST(SecretStream, EncryptsAndDecryptsInPlace) {
    SecretBox key = make_box(iota(32));
    LockedRegion push_state = stream_init(key, unhex(kHeader)).value();
    LockedRegion pull_state = stream_init(key, unhex(kHeader)).value();
    for (const KnownChunk& k : kKnown) {
        // The message copied into the chunk buffer, encrypted there.
        Bytes chunk(k.message.size() + ABYTES);
        std::copy(k.message.begin(), k.message.end(), chunk.begin() + 1);
        const std::span<std::uint8_t> in_place(chunk.data() + 1, k.message.size());
        stream_push(view(push_state), in_place, k.ad, k.tag, chunk);
        EXPECT_EQ(chunk, unhex(k.chunk));
        // The ciphertext copied into the plaintext buffer, decrypted there.
        Bytes plaintext(chunk.begin() + 1, chunk.end() - 16);
        const ChunkParts parts{chunk.size(), chunk[0], plaintext, chunk.data() + chunk.size() - 16};
        auto tag = stream_pull(view(pull_state), parts, k.ad, plaintext);
        ASSERT_TRUE(tag.ok());
        EXPECT_EQ(plaintext, k.message);
    }
}

class RoundTrip : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(RoundTrip, MessageAndAdComeBackWithTheirTag) {
    const auto [mlen, adlen] = GetParam();
    SecretBox key = make_box(iota(32, 7));
    const Bytes header = iota(24, 100);
    LockedRegion a = stream_init(key, header).value();
    LockedRegion b = stream_init(key, header).value();
    for (std::uint8_t tag : {TAG_MESSAGE, TAG_MESSAGE, TAG_FINAL}) {
        const Bytes m = iota(mlen, tag), ad = iota(adlen, 3);
        const Output chunk = stream_push(view(a), m, ad, tag);
        ASSERT_EQ(chunk.size, mlen + ABYTES);
        auto pulled = stream_pull(view(b), chunk.span(), ad);
        ASSERT_TRUE(pulled.ok());
        EXPECT_EQ(to_bytes(pulled->plaintext), m);
        EXPECT_EQ(pulled->tag, tag);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         testing::Combine(testing::Values(0, 1, 15, 16, 17, 63, 64, 65, 1000),
                                          testing::Values(0, 1, 15, 16, 17, 33, 1000)));

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

TEST(SecretStream, FinalTagRekeysSoTheOldStateNoLongerMatches) {
    Pair p;
    const Bytes before = snapshot(p.push);
    const Bytes final_chunk = p.push_chunk({1, 2, 3}, {}, TAG_FINAL);
    ASSERT_TRUE(p.pull_chunk(final_chunk).ok());
    const Bytes after = snapshot(p.push);
    EXPECT_EQ(Bytes(after.begin() + 32, after.begin() + 36), Bytes({1, 0, 0, 0}));
    EXPECT_NE(Bytes(after.begin(), after.begin() + 32), Bytes(before.begin(), before.begin() + 32));

    // The state as it stood after the advance but before the rekey: old key,
    // counter 2, inonce ^= mac. Its chunks do not open on the rekeyed side.
    Bytes unrekeyed = before;
    for (int i = 0; i < 8; ++i) unrekeyed[STATE_INONCE + i] ^= final_chunk[final_chunk.size() - 16 + i];
    unrekeyed[STATE_COUNTER] = 2;
    LockedRegion stale = LockedRegion::from_slice(unrekeyed).value();
    const Bytes forged = to_bytes(stream_push(view(stale), Bytes{4}, {}, TAG_MESSAGE));
    EXPECT_EQ(p.pull_chunk(forged).error().kind, ErrorKind::OpenFailed);
    ASSERT_TRUE(p.pull_chunk(p.push_chunk({4})).ok());
}

TEST(SecretStream, PullSideRekeysInStepOnAnyRekeyTag) {
    for (std::uint8_t tag : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{6}, std::uint8_t{255}}) {
        Pair p;
        auto pulled = p.pull_chunk(p.push_chunk({7}, {}, tag));
        ASSERT_TRUE(pulled.ok());
        EXPECT_EQ(pulled->tag, tag);
        EXPECT_EQ(snapshot(p.push), snapshot(p.pull));
        const Bytes s = snapshot(p.pull);
        const bool rekeyed = (tag & TAG_REKEY) != 0;
        EXPECT_EQ(s[32], rekeyed ? 1 : 2);
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

TEST(SecretStream, InitChecksKeyBeforeHeaderAndReleasesItsRegion) {
    struct Case {
        std::size_t key_len, header_len;
        std::string message;
    };
    const std::vector<Case> cases = {
        {31, 23, "secretstream key: expected 32 bytes, got 31 \u00b7 esperava 32 bytes, recebeu 31"},
        {33, 24, "secretstream key: expected 32 bytes, got 33 \u00b7 esperava 32 bytes, recebeu 33"},
        {32, 23, "secretstream header: expected 24 bytes, got 23 \u00b7 esperava 24 bytes, recebeu 23"},
        {32, 25, "secretstream header: expected 24 bytes, got 25 \u00b7 esperava 24 bytes, recebeu 25"},
    };
    for (const Case& c : cases) {
        SecretBox key = make_box(iota(c.key_len));
        const auto live = read_counters().live_secrets;
        auto r = stream_init(key, iota(c.header_len));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(render(r.error()), c.message);
        EXPECT_EQ(read_counters().live_secrets, live);
    }
    SecretBox wiped = make_box(iota(32));
    ASSERT_TRUE(wiped.wipe().ok());
    EXPECT_EQ(stream_init(wiped, iota(24)).error().kind, ErrorKind::Wiped);
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

TEST(StreamSides, FinishedAfterTheFinalChunkOnBothSides) {
    SecretBox key = make_box(iota(32));
    PushStream push(start_push(key).value());
    ASSERT_TRUE(key.wipe().ok());  // the stream no longer needs the box
    SecretBox same = make_box(iota(32));
    PullStream pull(stream_init(same, push.header()).value());

    const Bytes c1 = push_chunk(push, iota(10), Bytes{5}, false).value();
    EXPECT_FALSE(push.is_finished().value());
    const Bytes c2 = push_chunk(push, {}, {}, true).value();
    EXPECT_TRUE(push.is_finished().value());
    EXPECT_EQ(push_chunk(push, {}, {}, false).error().kind, ErrorKind::StreamFinished);

    auto p1 = pull_chunk(pull, c1, Bytes{5});
    ASSERT_TRUE(p1.ok());
    EXPECT_NE(p1->tag, TAG_FINAL);
    EXPECT_FALSE(pull.is_finished().value());
    EXPECT_EQ(pull_chunk(pull, c1, Bytes{5}).error().kind, ErrorKind::OpenFailed);
    EXPECT_FALSE(pull.is_finished().value());
    auto p2 = pull_chunk(pull, c2, {});
    ASSERT_TRUE(p2.ok());
    EXPECT_EQ(p2->tag, TAG_FINAL);
    EXPECT_TRUE(pull.is_finished().value());
    EXPECT_EQ(pull_chunk(pull, c2, {}).error().kind, ErrorKind::StreamFinished);
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
