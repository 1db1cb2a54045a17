#include "hybrid/session.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "json/base64url.hpp"
#include "json/reader.hpp"
#include "memory/zeroize.hpp"

namespace qv::hybrid {

namespace {

constexpr const char* kWhat = "sealed session";

enum Field : int { SessionId, SignKey, EncKey, ExpiresAt, Other };

// `name` as written in the record, escapes unresolved.
Field field_named(std::string_view name) {
    if (json::text_equals(name, "session_id")) return SessionId;
    if (json::text_equals(name, "sign_key")) return SignKey;
    if (json::text_equals(name, "enc_key")) return EncKey;
    if (json::text_equals(name, "expires_at")) return ExpiresAt;
    return Other;
}

// Reads the record level straight into the four fields; every refusal is the
// one Malformed "sealed session" of read_record.
class SessionReader final : public json::RecordVisitor {
public:
    std::string session_id;
    ZeroizingBuffer sign_text, enc_text;
    std::int64_t expires_at = 0;

    bool begin(json::Kind top) override {
        array_ = top == json::Kind::Array;
        return true;
    }
    bool member(std::string_view name) override {
        current_ = field_named(name);
        return true;
    }
    bool item(const json::Item& it) override {
        const Field f = array_ ? (index_ < 4 ? static_cast<Field>(index_) : Other) : current_;
        ++index_;
        if (array_ && f == Other) return false;  // a fifth element
        if (f == Other) return true;             // skipped member, any value
        if (seen_[f]) return false;              // a field given twice
        seen_[f] = true;
        switch (f) {
            case SessionId:
                return it.kind == json::Kind::String && json::read_string(it.text, session_id);
            case SignKey:
            case EncKey:
                return it.kind == json::Kind::String &&
                       json::read_string(it.text, f == SignKey ? sign_text : enc_text);
            case ExpiresAt:
                return it.kind == json::Kind::Number && json::parse_int64(it.text, expires_at);
            default:
                return false;
        }
    }
    bool end(std::size_t count) override {
        if (array_ && count != 4) return false;
        return seen_[SessionId] && seen_[SignKey] && seen_[EncKey] && seen_[ExpiresAt];
    }

private:
    bool array_ = false;
    Field current_ = Other;
    std::size_t index_ = 0;
    bool seen_[4] = {false, false, false, false};
};

std::string_view as_text(const ZeroizingBuffer& b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace

Result<SealedSession> parse_sealed_session(std::span<const std::uint8_t> plaintext) {
    SessionReader reader;
    QV_CHECK(json::read_record(plaintext, reader, kWhat, json::kAnyDepth));
    // Both texts are decoded before either length is looked at.
    QV_ASSIGN(ZeroizingBuffer sign_key, json::decode_base64url(as_text(reader.sign_text)));
    QV_ASSIGN(ZeroizingBuffer enc_key, json::decode_base64url(as_text(reader.enc_text)));
    if (sign_key.size() != SESSION_KEY_BYTES)
        return Error::bad_length("sign_key", SESSION_KEY_BYTES, sign_key.size());
    if (enc_key.size() != SESSION_KEY_BYTES) return Error::bad_length("enc_key", SESSION_KEY_BYTES, enc_key.size());
    QV_ASSIGN(LockedRegion sign_region, LockedRegion::from_slice(sign_key.span()));
    QV_ASSIGN(LockedRegion enc_region, LockedRegion::from_slice(enc_key.span()));
    return SealedSession{std::move(reader.session_id), reader.expires_at, std::move(sign_region),
                         std::move(enc_region)};
}

Result<SealedSession> open_session(HybridKeyPair& keypair, std::span<const std::uint8_t> encapsulation,
                                   std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> ciphertext,
                                   std::span<const std::uint8_t> aad) {
    QV_ASSIGN(ZeroizingBuffer plaintext, keypair.open(encapsulation, nonce, ciphertext, aad));
    return parse_sealed_session(plaintext.span());
}

}  // namespace qv::hybrid
