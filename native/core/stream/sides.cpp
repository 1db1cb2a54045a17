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

Status PushStream::push(std::span<const std::uint8_t> message, std::span<const std::uint8_t> ad, bool final,
                        std::span<std::uint8_t> chunk) {
    QV_ASSIGN(auto guard, lock_.acquire());
    QV_ASSIGN(const std::span<std::uint8_t> state, open_state(state_, finished_));
    stream_push(state, message, ad, final ? TAG_FINAL : TAG_MESSAGE, chunk);
    finished_ = final;
    return {};
}

Result<bool> PushStream::is_finished() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return finished_;
}

Result<std::uint8_t> PullStream::pull(const ChunkParts& chunk, std::span<const std::uint8_t> ad,
                                      std::span<std::uint8_t> plaintext) {
    QV_ASSIGN(auto guard, lock_.acquire());
    QV_ASSIGN(const std::span<std::uint8_t> state, open_state(state_, finished_));
    QV_ASSIGN(const std::uint8_t tag, stream_pull(state, chunk, ad, plaintext));
    finished_ = tag == TAG_FINAL;
    return tag;
}

Result<bool> PullStream::is_finished() {
    QV_ASSIGN(auto guard, lock_.inspect());
    return finished_;
}

}  // namespace qv::stream
