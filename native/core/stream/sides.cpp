#include "stream/sides.hpp"

#include "rng/random.hpp"

namespace qv::stream {

namespace {

// The checks every push and pull makes under the object's lock, in order.
Result<std::span<std::uint8_t>> open_state(LockedRegion& region, bool finished) {
    if (finished) return ErrorKind::StreamFinished;
    QV_ASSIGN(const std::span<std::uint8_t> state, region.bytes_mut());
    if (state.size() != STATE_BYTES) return Error::bad_length("secretstream state", STATE_BYTES, state.size());
    return state;
}

}  // namespace

Result<PushStart> start_push(SecretBox& key) {
    Header header{};
    QV_CHECK(fill_random(header));
    QV_ASSIGN(LockedRegion state, stream_init(key, header));
    return PushStart{header, std::move(state)};
}

Result<Output> PushStream::push(std::span<const std::uint8_t> message, std::span<const std::uint8_t> ad,
                                bool final) {
    QV_ASSIGN(auto guard, lock_.acquire());
    QV_ASSIGN(const std::span<std::uint8_t> state, open_state(state_, finished_));
    Output chunk = stream_push(state, message, ad, final ? TAG_FINAL : TAG_MESSAGE);
    finished_ = final;
    return chunk;
}

Result<bool> PushStream::is_finished() {
    QV_ASSIGN(auto guard, lock_.acquire());
    return finished_;
}

Result<Pulled> PullStream::pull(std::span<const std::uint8_t> chunk, std::span<const std::uint8_t> ad) {
    QV_ASSIGN(auto guard, lock_.acquire());
    QV_ASSIGN(const std::span<std::uint8_t> state, open_state(state_, finished_));
    QV_ASSIGN(Pulled pulled, stream_pull(state, chunk, ad));
    finished_ = pulled.tag == TAG_FINAL;
    return pulled;
}

Result<bool> PullStream::is_finished() {
    QV_ASSIGN(auto guard, lock_.acquire());
    return finished_;
}

}  // namespace qv::stream
