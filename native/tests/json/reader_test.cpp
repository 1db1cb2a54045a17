// What the Python tables cannot see of the reader: JSONTestSuite, unescaped
// strings that stay views into the input, and a record nested far past the
// field limit. Its rules run through the sealed JSON field and the sealed
// session in tests/; memory and stack costs are in budget_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "json/base64url.hpp"
#include "json/reader.hpp"
#include "vectors.hpp"

namespace qv::json {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The round trip against Python's encoder is in tests/test_secret_box_keyed.py.
TEST(Base64url, Rules) {
    using Bytes = std::vector<std::uint8_t>;
    for (const auto& [text, want] : {std::pair<std::string, Bytes>{"", {}}, {"====", {}}, {"AQID", {1, 2, 3}},
                                     {"AQID==", {1, 2, 3}}, {"AQID=====", {1, 2, 3}}, {"AQ", {1}}, {"AQ==", {1}},
                                     {"AQI", {1, 2}}, {"-_-_", {0xFB, 0xFF, 0xBF}}}) {
        auto got = decode_base64url(text);
        ASSERT_TRUE(got.ok()) << text;
        EXPECT_EQ(Bytes(got->data(), got->data() + got->size()), want) << text;
    }
    // Low bits of the last character set, 4k+1 characters, "=" before the
    // end, the standard alphabet, spaces, non-ASCII, NUL.
    for (const std::string& text : std::initializer_list<std::string>{"AR", "AQJ", "AQIDB", "A", "AQ=D", "+/+/", "AQ I", "AQI\n", "AQ\xC3\xA9", {"AQ\0D", 4}})
        EXPECT_EQ(render(decode_base64url(text).error()), render(Error::malformed("base64url"))) << text;
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

bool accepted_as_record(std::span<const std::uint8_t> text) {
    AnyRecord any;
    return read_record(text, any, "record", kAnyDepth).ok();
}

// test_parsing/: as a field lookup of an absent member, y_ files with an
// object at top level give "json field", every other y_ and n_ file "json
// object"; as the value of an ignored member, where the skipping scan checks
// them, n_ files are refused and y_ files accepted. The implementation-defined
// i_ files are pinned, read as records and as members alike: numbers are
// checked by the grammar alone, so every i_number file is accepted, huge
// exponents included, whatever the Boost version; refused are invalid UTF-8,
// lone or inverted surrogate escapes, UTF-16 text and a byte order mark.
TEST(JsonTestSuite, FilesBehaveAsRecorded) {
    std::map<std::string, std::size_t> count;
    for (const auto& e : std::filesystem::directory_iterator(test::vector_path("jsontestsuite/test_parsing"))) {
        const std::string name = e.path().filename().string();
        SCOPED_TRACE(name);
        const std::string text = test::read_text(e.path());
        const std::string member = R"({"x":)" + text + "}";
        const bool number = name.rfind("i_number_", 0) == 0;
        ++count[number ? "i_number" : name.substr(0, 1)];
        if (name[0] == 'i') {
            const bool accepted = number || name == "i_structure_500_nested_arrays.json";
            EXPECT_EQ(accepted_as_record(as_bytes(text)), accepted);
            EXPECT_EQ(accepted_as_record(as_bytes(member)), accepted) << "as a member";
            continue;
        }
        const bool y = name[0] == 'y';
        const auto first = text.find_first_not_of(" \t\n\r");
        auto field = find_string_member(as_bytes(text), "\x01 absent");
        ASSERT_FALSE(field.ok());
        EXPECT_STREQ(field.error().what, y && first != std::string::npos && text[first] == '{' ? "json field" : "json object");
        EXPECT_EQ(accepted_as_record(as_bytes(member)), y) << "as a member";
    }
    EXPECT_GT(count["n"], 150u);
    EXPECT_GT(count["y"], 90u);
    EXPECT_GE(count["i_number"], 10u);
}

// Read with the bracket stack of the skipping scan; brackets inside strings
// do not count as nesting.
TEST(RecordReader, UnclosedBracketAtAnyDepthIsMalformed) {
    AnyRecord rec;
    for (const std::size_t depth : {511u, 513u, 1'000'000u}) {
        const std::string open_end = R"({"x":)" + std::string(depth, '[') + std::string(depth - 1, ']') + "}";
        EXPECT_EQ(render(read_record(as_bytes(open_end), rec, "record", kAnyDepth).error()),
                  render(Error::malformed("record"))) << depth;
    }
    const std::string quoted = R"({"x":")" + std::string(100'000, '[') + R"("})";
    EXPECT_TRUE(read_record(as_bytes(quoted), rec, "record", kAnyDepth).ok());
}

}  // namespace
}  // namespace qv::json
