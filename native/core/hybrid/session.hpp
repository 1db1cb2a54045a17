// The SealedSession record carried by a hybrid seal: an identifier, an
// expiry and two 32-byte keys in base64url text, as a JSON object (members in
// any order, other members skipped) or as the array
// [session_id, sign_key, enc_key, expires_at].
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "error/result.hpp"
#include "hybrid/keypair.hpp"
#include "memory/region.hpp"

namespace qv::hybrid {

inline constexpr std::size_t SESSION_KEY_BYTES = 32;

struct SealedSession {
    std::string session_id;  // valid UTF-8; not secret
    std::int64_t expires_at;
    LockedRegion sign_key;
    LockedRegion enc_key;
};

// Errors in order: Malformed "sealed session" (any way the text is not such
// a record); Malformed "base64url" (sign_key, then enc_key); BadLength
// "sign_key" then "enc_key" (32); region errors. The key texts and decoded
// keys are zeroed on every path; the caller zeroes `plaintext`.
Result<SealedSession> parse_sealed_session(std::span<const std::uint8_t> plaintext);

// hybrid_open, then parse_sealed_session with the identity's lock released.
Result<SealedSession> open_session(HybridKeyPair& keypair, std::span<const std::uint8_t> encapsulation,
                                   std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> ciphertext,
                                   std::span<const std::uint8_t> aad);

}  // namespace qv::hybrid
