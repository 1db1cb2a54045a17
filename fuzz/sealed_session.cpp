// The sealed-session reader: parse_sealed_session on any text. Whatever it
// accepts must read the same through boost::json::parse (its own document
// builder); whatever boost::json refuses, or a top-level scalar, it refuses,
// except a number whose exponent overflows boost::json's conversion, which
// the reader checks by the grammar alone.
#include <boost/json.hpp>

#include "common.hpp"
#include "hybrid/session.hpp"
#include "json/base64url.hpp"
#include "json/reader.hpp"

namespace {

void write_seeds() {
    const std::string k1 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
    const std::string k2 = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8";
    const std::string seeds[] = {
        R"({"session_id":"s-1","sign_key":")" + k1 + R"(","enc_key":")" + k2 + R"(","expires_at":1700000000})",
        R"({"expires_at":-5,"enc_key":")" + k2 + R"(=","x":[{"y":null}],"sign_key":")" + k1 +
            R"(","session_id":"\u00e9\ud83d\ude00"})",
        R"(["id",")" + k1 + R"(",")" + k2 + R"(",9223372036854775807])",
        R"(["id",")" + k1 + R"(",")" + k2 + R"(",1.5])",
        R"({"session_id":"a","session_id":"b","sign_key":")" + k1 + R"(","enc_key":")" + k2 +
            R"(","expires_at":0})",
        R"({"session_id":"s","sign_key":"QUJD","enc_key":")" + k2 + R"(","expires_at":0})",
        R"(["id",")" + k1 + R"(",")" + k2 + R"(",1,2])",
        "\"session\"",
        R"({"x":[1e2147483648],"session_id":"s","sign_key":")" + k1 + R"(","enc_key":")" + k2 +
            R"(","expires_at":0})",
    };
    int i = 0;
    for (const std::string& s : seeds) fuzz::write_seed("seed" + std::to_string(i++), s);
}

std::string_view str(const boost::json::value* v) {
    FUZZ_CHECK(v != nullptr && v->is_string());
    return {v->as_string().data(), v->as_string().size()};
}

void same_key(const boost::json::value* v, const qv::LockedRegion& region) {
    auto decoded = qv::json::decode_base64url(str(v));
    FUZZ_CHECK(decoded.ok());
    const auto got = region.bytes().value();
    FUZZ_CHECK(got.size() == decoded->size() && std::equal(got.begin(), got.end(), decoded->data()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::seed_mode(write_seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    auto ours = qv::hybrid::parse_sealed_session(in);

    boost::json::parse_options options;
    options.max_depth = size + 1;  // the reader takes any depth; a document nests at most `size` levels
    boost::json::error_code ec;
    const boost::json::value doc = boost::json::parse(fuzz::text(in), ec, {}, options);
    if (ec == boost::json::error::exponent_overflow) return 0;
    if (ec || !(doc.is_object() || doc.is_array())) {
        FUZZ_CHECK(!ours.ok() && ours.error() == qv::Error::malformed("sealed session"));
        return 0;
    }
    if (!ours.ok()) return 0;

    const boost::json::value *id, *sign, *enc, *expires;
    if (doc.is_object()) {
        const boost::json::object& o = doc.as_object();
        id = o.if_contains("session_id");
        sign = o.if_contains("sign_key");
        enc = o.if_contains("enc_key");
        expires = o.if_contains("expires_at");
    } else {
        const boost::json::array& a = doc.as_array();
        FUZZ_CHECK(a.size() == 4);
        id = &a[0], sign = &a[1], enc = &a[2], expires = &a[3];
    }
    FUZZ_CHECK(str(id) == ours->session_id);
    FUZZ_CHECK(expires != nullptr && (expires->is_int64() || expires->is_uint64() || expires->is_double()));
    const auto when = expires->to_number<std::int64_t>(ec);
    FUZZ_CHECK(!ec && when == ours->expires_at);
    same_key(sign, ours->sign_key);
    same_key(enc, ours->enc_key);
    return 0;
}
