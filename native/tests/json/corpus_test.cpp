// JSONTestSuite (test_parsing/): n_ files are refused, y_ files accepted when
// their top level is an object and refused as "json object" otherwise. As the
// value of an ignored member, where the skipping scan checks them, n_ files
// are refused and y_ files accepted.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "json/reader.hpp"
#include "vectors.hpp"

namespace qv::json {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool top_is_object(const std::vector<std::uint8_t>& text) {
    auto it = std::find_if(text.begin(), text.end(),
                           [](std::uint8_t c) { return c != ' ' && c != '\t' && c != '\n' && c != '\r'; });
    return it != text.end() && *it == '{';
}

// Accepts any container at top level, as a record reader does.
struct AnyRecord final : RecordVisitor {
    bool begin(Kind) override { return true; }
    bool member(std::string_view) override { return true; }
    bool item(const Item&) override { return true; }
    bool end(std::size_t) override { return true; }
};

bool accepted_as_record(const std::vector<std::uint8_t>& text) {
    AnyRecord any;
    return read_record(text, any, "record", kAnyDepth).ok();
}

// Parses as a field lookup of an absent member: a well-formed object gives
// "json field", anything else "json object".
const char* outcome(const std::vector<std::uint8_t>& text) {
    auto r = find_string_member(text, "\x01 absent");
    return r.ok() ? "found" : r.error().what;
}

// {"x":<text>}
std::vector<std::uint8_t> as_member(const std::vector<std::uint8_t>& text) {
    std::vector<std::uint8_t> member = {'{', '"', 'x', '"', ':'};
    member.insert(member.end(), text.begin(), text.end());
    member.push_back('}');
    return member;
}

std::vector<fs::path> corpus(char prefix) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(test::vector_path("jsontestsuite/test_parsing"))) {
        if (e.path().filename().string().front() == prefix) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(JsonTestSuite, EveryNFileIsRefused) {
    const auto files = corpus('n');
    ASSERT_GT(files.size(), 150u);
    for (const auto& f : files) {
        const auto text = read_file(f);
        EXPECT_STREQ(outcome(text), "json object") << f.filename();
        EXPECT_FALSE(accepted_as_record(as_member(text))) << f.filename() << " as a member";
    }
}

TEST(JsonTestSuite, YFilesAreAcceptedOnlyAsObjects) {
    const auto files = corpus('y');
    ASSERT_GT(files.size(), 90u);
    for (const auto& f : files) {
        const auto text = read_file(f);
        EXPECT_STREQ(outcome(text), top_is_object(text) ? "json field" : "json object") << f.filename();
        EXPECT_TRUE(accepted_as_record(as_member(text))) << f.filename() << " as a member";
    }
}

// Implementation-defined cases, read as records (object or array at top
// level) and pinned so that a change to any of them is noticed. Numbers are
// checked by the grammar alone, so every i_number file is accepted, huge
// exponents included, whatever the Boost version; the files refused are
// invalid UTF-8, lone or inverted surrogate escapes, UTF-16 text and a byte
// order mark. Each file also goes through the skipping scan as the value of
// an ignored member, with the same verdict.
TEST(JsonTestSuite, IFilesBehaveAsRecorded) {
    std::size_t numbers = 0;
    for (const auto& f : corpus('i')) {
        const std::string name = f.filename().string();
        const bool number = name.rfind("i_number_", 0) == 0;
        numbers += number;
        const auto text = read_file(f);
        const bool accepted = number || name == "i_structure_500_nested_arrays.json";
        EXPECT_EQ(accepted_as_record(text), accepted) << name;
        EXPECT_EQ(accepted_as_record(as_member(text)), accepted) << name << " as a member";
    }
    EXPECT_GE(numbers, 10u);
}

}  // namespace
}  // namespace qv::json
