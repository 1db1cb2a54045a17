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

// The parser recurses per level: a million levels would overflow any thread
// stack unless the reader moves the parse to a stack of its own.
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
    const std::string deep = R"({"x":)" + std::string(200, '[') + std::string(200, ']') + "}";
    EXPECT_FALSE(read_record(as_bytes(deep), rec, "record", kFieldMaxDepth).ok());
}

}  // namespace
}  // namespace qv::json
