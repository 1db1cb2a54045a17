// The secret stream's state machine where Python cannot reach it: the
// counter wrapping and the keystream limit. Refusals (a fork child's state
// included), rekeying and interoperation with libsodium, in both directions,
// are tested from Python.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "memory/policy.hpp"
#include "stream/sides.hpp"
#include "stream/stream.hpp"

namespace qv::stream {
namespace {

using Bytes = std::vector<std::uint8_t>;

SecretBox make_key() { return SecretBox(LockedRegion::from_slice(Bytes(32, 7)).value()); }

Bytes snapshot(LockedRegion& state) {
    const auto view = state.bytes().value();
    return Bytes(view.begin(), view.end());
}

TEST(SecretStream, CounterWrapsToZeroAndRekeysOnBothSides) {
    SecretBox key = make_key();
    const Bytes header(24, 5);
    LockedRegion push = stream_init(key, header).value(), pull = stream_init(key, header).value();
    for (LockedRegion* side : {&push, &pull})  // counter 0xfffffffe, little-endian
        std::memcpy(side->bytes_mut().value().data() + STATE_COUNTER, "\xfe\xff\xff\xff", 4);
    const Bytes first = snapshot(push);
    const Bytes counters[] = {{0xff, 0xff, 0xff, 0xff}, {1, 0, 0, 0}, {2, 0, 0, 0}};
    std::vector<Bytes> keys;  // the push side's key after each chunk
    for (std::uint8_t m = 0; m < 3; ++m) {
        const Output c = stream_push(push.bytes_mut().value(), Bytes{m}, {}, TAG_MESSAGE);
        auto got = stream_pull(pull.bytes_mut().value(), {c.data.get(), c.size}, {});
        ASSERT_TRUE(got.ok()) << int(m);
        EXPECT_EQ(got->plaintext.data[0], m);
        const Bytes s = snapshot(push);
        EXPECT_EQ(s, snapshot(pull));
        EXPECT_EQ(Bytes(s.begin() + STATE_COUNTER, s.begin() + STATE_COUNTER + 4), counters[m]) << int(m);
        keys.emplace_back(s.begin(), s.begin() + 32);
    }
    EXPECT_EQ(keys[0], Bytes(first.begin(), first.begin() + 32));
    EXPECT_NE(keys[1], keys[0]);  // the wrap to zero rekeyed
    EXPECT_EQ(keys[2], keys[1]);
    // Nothing was written past the state (canary, then the state, then zeros to the page's end).
    for (LockedRegion* side : {&push, &pull})
        EXPECT_EQ(std::count(side->data_area() + CANARY_BYTES + STATE_BYTES, side->data_area() + side->data_len(), 0),
                  static_cast<std::ptrdiff_t>(side->data_len() - CANARY_BYTES - STATE_BYTES));
}

TEST(SecretStream, KeystreamLimitIsAFaultThatPoisonsThePushSide) {
    // 2^38 bytes of inaccessible address space: reading any of it would
    // crash, so the fault must come before the data is touched.
    const std::size_t len = (std::size_t{1} << 38) + 4096;
    void* huge = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(huge, MAP_FAILED);
    auto* p = static_cast<std::uint8_t*>(huge);
    SecretBox key = make_key();
    PushStream push(start_push(key).value());
    const Bytes before = snapshot(push.state());
    try {
        (void)push.push({p, MESSAGE_BYTES_MAX + 1}, {}, false, {p, MESSAGE_BYTES_MAX + 1 + ABYTES});
        ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(std::string(f.what()).rfind("end of keystream reached", 0), 0U);
    }
    munmap(huge, len);
    EXPECT_EQ(snapshot(push.state()), before);
    Bytes chunk(ABYTES);
    EXPECT_EQ(push.push({}, {}, false, chunk).error().kind, ErrorKind::LockPoisoned);
    EXPECT_EQ(push.is_finished().error().kind, ErrorKind::LockPoisoned);
}

}  // namespace
}  // namespace qv::stream
