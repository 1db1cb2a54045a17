// base64url (RFC 4648 section 5) decoding of secret text, canonical only.
#pragma once

#include <string_view>

#include "error/result.hpp"
#include "memory/zeroize.hpp"

namespace qv::json {

// Decodes `text` after dropping every trailing "=". Refused with
// Malformed("base64url"): a remaining length of 4k+1, any character outside
// A-Z a-z 0-9 "-" "_" (an inner "=" included), and set bits in the unused low
// bits of the last character. Empty text gives an empty buffer. Characters
// are decoded without table lookups or branches on their value, so the time
// taken does not depend on the secret text.
Result<ZeroizingBuffer> decode_base64url(std::string_view text);

}  // namespace qv::json
