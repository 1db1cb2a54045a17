// The reader's rules that the corpus does not cover, the record visitor, and
// integers read from raw number text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/reader.hpp"

namespace qv::json {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Result<std::string> field(std::string_view doc, std::string_view name) {
    auto r = find_string_member(as_bytes(doc), name);
    if (!r.ok()) return r.error();
    return std::string(r->text);
}

std::string nested(std::size_t depth) {
    // depth objects in total, the outer one holding the member.
    std::string s = R"({"k":"v","n":)";
    for (std::size_t i = 1; i < depth; ++i) s += (i + 1 < depth) ? R"({"a":)" : "{}";
    for (std::size_t i = 2; i < depth; ++i) s += "}";
    return s + "}";
}

TEST(FieldReader, Outcomes) {
    const Error object = Error::malformed("json object"), member = Error::malformed("json field");
    struct Case { std::string doc; Result<std::string> expected; };
    const std::string big(5000, 'x');
    const Case cases[] = {
        {std::string("{\"k\":\"v\"}\0", 10), object},            // NUL after the object
        {"{\"k\":\"v\"}\t\r\n ", std::string("v")},
        {"{\"k\":\"v\"}{}", object},
        {"", object},
        {" \n", object},
        {"\"v\"", object},
        {"[\"v\"]", object},
        {nested(127), std::string("v")},
        {nested(128), object},
        {R"({"k":"\ud800"})", object},                       // lone high surrogate
        {R"({"k":"\udc00"})", object},                       // lone low surrogate
        {R"({"k":"\ud800\u0041"})", object},                 // high followed by a non-surrogate
        {R"({"\ud800":"v","k":"v"})", object},               // in a member name
        {R"({"x":["\udfff"],"k":"v"})", object},             // in a skipped value
        {R"({"k":"\ud83d\ude00"})", std::string("\xF0\x9F\x98\x80")},
        {"{\"k\":\"\xC3\x28\"}", object},                    // invalid UTF-8
        {"{\"k\":\"\xED\xA0\x80\"}", object},                // a surrogate written in UTF-8
        {R"({"k":"a","k":"b"})", std::string("b")},
        {R"({"k":"a","k":{"k":"c"}})", member},
        {R"({"\u006b":"e"})", std::string("e")},
        {R"({"K":"e"})", member},
        {R"({"k":"a\"b\\c\/d\n"})", std::string("a\"b\\c/d\n")},
        {"{\"k\":\"" + big + "\\n" + big + "\"}", big + "\n" + big},  // unescaped in several parts
        {"{\"" + big + "\\u006b\":1,\"k\":\"v\"}", std::string("v")},
        {R"({"k":"v",})", object},
        {R"({"k":"v"/**/})", object},
        {R"({'k':"v"})", object},
        {R"({"k":"v","n":NaN})", object},
        {R"({"k":"v","n":01})", object},
    };
    for (const Case& c : cases) {
        const auto got = field(c.doc, "k");
        ASSERT_EQ(got.ok(), c.expected.ok()) << c.doc.substr(0, 60);
        if (got.ok()) {
            EXPECT_EQ(got.value(), c.expected.value()) << c.doc.substr(0, 60);
        } else {
            EXPECT_EQ(render(got.error()), render(c.expected.error())) << c.doc.substr(0, 60);
        }
    }
}

TEST(FieldReader, UnescapedValueIsAViewIntoTheInput) {
    const std::string doc = R"({"k":"plain","e":"a\tb"})";
    auto plain = find_string_member(as_bytes(doc), "k").value();
    EXPECT_EQ(plain.text.data(), doc.data() + 6);
    EXPECT_EQ(plain.owned.size(), 0u);
    auto escaped = find_string_member(as_bytes(doc), "e").value();
    EXPECT_EQ(escaped.text, "a\tb");
    EXPECT_EQ(static_cast<const void*>(escaped.text.data()), static_cast<const void*>(escaped.owned.data()));
}

// A record of two fields, in either form: {"id": string, "n": integer} or
// ["id", n]. Unknown members are skipped; a field twice is refused.
struct TwoFields final : RecordVisitor {
    bool array = false;
    std::size_t index = 0;
    std::string_view current;
    std::string id;
    std::int64_t n = 0;
    int seen_id = 0, seen_n = 0, skipped = 0;

    bool begin(Kind top) override {
        array = top == Kind::Array;
        return true;
    }
    bool member(std::string_view name) override {
        current = name == "id" ? "id" : name == "n" ? "n" : "";
        return true;
    }
    bool item(const Item& it) override {
        const std::string_view name = array ? (index == 0 ? "id" : index == 1 ? "n" : "") : current;
        ++index;
        if (name == "id") return ++seen_id == 1 && it.kind == Kind::String && (id = it.text, true);
        if (name == "n") return ++seen_n == 1 && it.kind == Kind::Number && parse_int64(it.text, n);
        ++skipped;
        return !array;
    }
    bool end(std::size_t count) override { return array ? count == 2 : (seen_id == 1 && seen_n == 1); }
};

TEST(RecordReader, ObjectOrArrayWithSkippedValuesOfAnyKind) {
    struct Case { std::string doc; bool ok; std::string id; std::int64_t n; int skipped; };
    const std::string deep = std::string(400, '[') + std::string(400, ']');
    const Case cases[] = {
        {R"({"id":"a","n":5})", true, "a", 5, 0},
        {R"({"x":{"y":[1,{"z":"w"}]},"n":-1,"t":true,"id":"b\n","u":null})", true, "b\n", -1, 3},
        {R"(["c",9223372036854775807])", true, "c", 9223372036854775807, 0},
        {R"({"x":)" + deep + R"(,"id":"d","n":0})", true, "d", 0, 1},
        {R"(["c"])", false, "", 0, 0},
        {R"(["c",1,2])", false, "", 0, 0},
        {R"({"id":"a","n":1,"n":1})", false, "", 0, 0},
        {R"({"id":"a","n":1.5})", false, "", 0, 0},
        {R"({"id":"a","n":1e3})", false, "", 0, 0},
        {R"({"id":"a","n":9223372036854775808})", false, "", 0, 0},
        {R"({"id":null,"n":1})", false, "", 0, 0},
        {R"({"id":"a"})", false, "", 0, 0},
        {R"({"id":"a","n":1} [])", false, "", 0, 0},
        {R"("a")", false, "", 0, 0},
        {R"(7)", false, "", 0, 0},
    };
    for (const Case& c : cases) {
        TwoFields rec;
        const Status s = read_record(as_bytes(c.doc), rec, "two fields", kRecordMaxDepth);
        ASSERT_EQ(s.ok(), c.ok) << c.doc.substr(0, 60);
        if (!s.ok()) {
            EXPECT_EQ(render(s.error()), render(Error::malformed("two fields")));
            continue;
        }
        EXPECT_EQ(rec.id, c.id);
        EXPECT_EQ(rec.n, c.n);
        EXPECT_EQ(rec.skipped, c.skipped);
    }
}

TEST(RecordReader, NestingBeyondTheLimitIsRefusedNotOverflowed) {
    TwoFields rec;
    const std::string deep = R"({"x":)" + std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}";
    EXPECT_EQ(render(read_record(as_bytes(deep), rec, "two fields", kRecordMaxDepth).error()),
              render(Error::malformed("two fields")));
}

TEST(ParseInt64, RawTextRules) {
    struct Case { const char* text; bool ok; std::int64_t value; };
    const Case cases[] = {
        {"0", true, 0},
        {"-1", true, -1},
        {"9223372036854775807", true, INT64_MAX},
        {"-9223372036854775808", true, INT64_MIN},
        {"9223372036854775808", false, 0},
        {"-9223372036854775809", false, 0},
        {"1.0", false, 0},
        {"1e3", false, 0},
        {"1E3", false, 0},
        {"-", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t v = 42;
        EXPECT_EQ(parse_int64(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

}  // namespace
}  // namespace qv::json
