// What the Python tables cannot see of the reader: unescaped strings stay
// views into the input, and nesting far past the limit is refused without
// exhausting the stack. Its rules run through the sealed JSON field and the
// sealed session in tests/.
#include <gtest/gtest.h>

#include <string>

#include "json/reader.hpp"

namespace qv::json {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
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

struct AnyRecord final : RecordVisitor {
    bool begin(Kind) override { return true; }
    bool member(std::string_view) override { return true; }
    bool item(const Item&) override { return true; }
    bool end(std::size_t) override { return true; }
};

// A million levels, read with the bracket stack of the skipping scan.
TEST(RecordReader, AnyDepthIsReadWithoutOverflow) {
    AnyRecord rec;
    for (const std::size_t depth : {511u, 513u, 1'000'000u}) {
        const std::string deep = R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
        EXPECT_TRUE(read_record(as_bytes(deep), rec, "record", kAnyDepth).ok()) << depth;
        const std::string open_end = R"({"x":)" + std::string(depth, '[') + std::string(depth - 1, ']') + "}";
        EXPECT_EQ(render(read_record(as_bytes(open_end), rec, "record", kAnyDepth).error()),
                  render(Error::malformed("record")))
            << depth;
    }
    // Brackets inside strings do not count as nesting.
    const std::string quoted = R"({"x":")" + std::string(100'000, '[') + R"("})";
    EXPECT_TRUE(read_record(as_bytes(quoted), rec, "record", kAnyDepth).ok());
}

TEST(RecordReader, FieldLimitStillHolds) {
    AnyRecord rec;
    for (const std::size_t depth : {126u, 127u, 200u}) {
        const std::string deep = R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
        EXPECT_EQ(read_record(as_bytes(deep), rec, "record", kFieldMaxDepth).ok(), depth < 127) << depth;
    }
}

// Numbers in skipped values are checked by the grammar, never converted: an
// exponent beyond any integer type is accepted there, a wanted number still
// has to be a 64-bit integer.
TEST(RecordReader, SkippedNumbersFollowTheGrammarOnly) {
    AnyRecord rec;
    for (const char* n : {"1e2147483648", "0e99999999999", "-0.5E-99999999999999999999", "1E+400"}) {
        for (const std::string doc : {std::string(R"({"x":)") + n + "}", std::string(R"({"x":[{"y":)") + n + "}]}"}) {
            EXPECT_TRUE(read_record(as_bytes(doc), rec, "record", kAnyDepth).ok()) << doc;
        }
        std::int64_t v;
        EXPECT_FALSE(parse_int64(n, v)) << n;
    }
    for (const char* n : {"01", "1.", ".5", "-", "1e", "1e+", "+1", "0x1", "1.e5", "-01"}) {
        const std::string doc = std::string(R"({"x":[)") + n + "]}";
        EXPECT_FALSE(read_record(as_bytes(doc), rec, "record", kAnyDepth).ok()) << doc;
    }
}

}  // namespace
}  // namespace qv::json
