// The sealed-JSON-field reader: find_string_member on any text, held against
// boost::json::parse (its own tokenizer and document builder); the skipping
// scan alone on the same text, held against boost::json::parse at any depth;
// and the whole keyed path: the text sealed under a fixed key, then
// open_json_field into a box. boost::json refuses a number whose exponent
// overflows its conversion, which the scan (converting nothing) accepts: no
// verdict is compared on such a text.
#include <boost/json.hpp>

#include <memory>

#include "common.hpp"
#include "json/base64url.hpp"
#include "json/reader.hpp"
#include "json/scan.hpp"
#include "keyed/aes_gcm.hpp"
#include "keyed/box_ops.hpp"

namespace {

using fuzz::Bytes;
constexpr std::string_view kField = "key";
const Bytes kKey(32, 0x42), kNonce(12, 0x24);
std::unique_ptr<qv::SecretBox> g_box;

void write_seeds() {
    const char* seeds[] = {
        R"({"key":"QUJD"})",
        R"({"key":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"})",
        R"({ "a" : [1, {"key": 2}], "key" : "QQ==" , "z": null })",
        R"({"key":"QQ","key":"Qg"})",
        R"({"k\u0065y":"\u0051\u0051"})",
        R"({"key":""})",
        R"({"key":12})",
        R"({"other":"QUJD"})",
        R"(["key","QUJD"])",
        R"({"key":"QUJD"} x)",
        R"({"key":"Q+/D"})",
        "{\"key\":\"QUJD\"}\n\t ",
    };
    int i = 0;
    for (const char* s : seeds) fuzz::write_seed("seed" + std::to_string(i++), s);
    std::string deep = "{\"key\":\"QUJD\",\"d\":";
    for (int d = 0; d < 126; ++d) deep += "[";
    for (int d = 0; d < 126; ++d) deep += "]";
    fuzz::write_seed("seed_deep", deep + "}");
    fuzz::write_seed("seed_huge_exponent", R"({"key":"QUJD","x":[1e2147483648,-0.5E-99999999999]})");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::seed_mode(write_seeds);
    g_box = std::make_unique<qv::SecretBox>(qv::LockedRegion::from_slice(kKey).value());
    return 0;
}

namespace {

// Any single JSON value with white space around it, at any depth.
bool scans_as_one_value(std::span<const std::uint8_t> in) {
    const auto* end = in.data() + in.size();
    const auto* p = qv::json::skip_value(qv::json::skip_space(in.data(), end), end, in.size() + 1);
    return p != nullptr && qv::json::skip_space(p, end) == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    auto ours = qv::json::find_string_member(in, kField);

    boost::json::parse_options options;
    options.max_depth = size + 1;
    boost::json::error_code ec;
    boost::json::value doc = boost::json::parse(fuzz::text(in), ec, {}, options);
    if (ec == boost::json::error::exponent_overflow) return 0;
    FUZZ_CHECK(scans_as_one_value(in) == !ec);

    options.max_depth = qv::json::kFieldMaxDepth;
    doc = boost::json::parse(fuzz::text(in), ec, {}, options);
    if (ec || !doc.is_object()) {
        FUZZ_CHECK(!ours.ok() && ours.error() == qv::Error::malformed("json object"));
    } else {
        const boost::json::value* v = doc.as_object().if_contains(kField);
        if (v != nullptr && v->is_string()) {
            const boost::json::string& s = v->as_string();
            FUZZ_CHECK(ours.ok() && ours->text == std::string_view(s.data(), s.size()));
        } else {
            FUZZ_CHECK(!ours.ok() && ours.error() == qv::Error::malformed("json field"));
        }
    }

    // The keyed path gives the same answer, then the base64url decoding.
    const Bytes sealed = qv::aes256gcm_seal(kKey, kNonce, in, {}).value();
    auto region = qv::open_json_field(*g_box, kNonce, sealed, {}, kField);
    if (!ours.ok()) {
        FUZZ_CHECK(!region.ok() && region.error() == ours.error());
        return 0;
    }
    auto decoded = qv::json::decode_base64url(ours->text);
    if (!decoded.ok()) {
        FUZZ_CHECK(!region.ok() && region.error() == decoded.error());
    } else if (decoded->size() == 0) {
        FUZZ_CHECK(!region.ok() && region.error().kind == qv::ErrorKind::EmptySecret);
    } else {
        FUZZ_CHECK(region.ok());
        const auto got = region->bytes().value();
        FUZZ_CHECK(got.size() == decoded->size() && std::equal(got.begin(), got.end(), decoded->data()));
    }
    return 0;
}
