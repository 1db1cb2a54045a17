// JSONTestSuite (test_parsing/): n_ files are refused, y_ files accepted when
// their top level is an object and refused as "json object" otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
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
    for (const auto& f : files) EXPECT_STREQ(outcome(read_file(f)), "json object") << f.filename();
}

TEST(JsonTestSuite, YFilesAreAcceptedOnlyAsObjects) {
    const auto files = corpus('y');
    ASSERT_GT(files.size(), 90u);
    for (const auto& f : files) {
        const auto text = read_file(f);
        EXPECT_STREQ(outcome(text), top_is_object(text) ? "json field" : "json object") << f.filename();
    }
}

// Implementation-defined cases, read as records (object or array at top
// level) and pinned so that a parser upgrade that changes any of them is
// noticed. The files listed are accepted; every other i_ file is refused:
// invalid UTF-8, lone or inverted surrogate escapes, UTF-16 text, a byte
// order mark, and one exponent too large for the parser (i_number_huge_exp).
TEST(JsonTestSuite, IFilesBehaveAsRecorded) {
    const std::set<std::string> accepted = {
        "i_number_double_huge_neg_exp.json",
        "i_number_neg_int_huge_exp.json",
        "i_number_pos_double_huge_exp.json",
        "i_number_real_neg_overflow.json",
        "i_number_real_pos_overflow.json",
        "i_number_real_underflow.json",
        "i_number_too_big_neg_int.json",
        "i_number_too_big_pos_int.json",
        "i_number_very_big_negative_int.json",
        "i_structure_500_nested_arrays.json",
    };
    for (const auto& f : corpus('i')) {
        const std::string name = f.filename().string();
        EXPECT_EQ(accepted_as_record(read_file(f)), accepted.count(name) == 1) << name;
    }
}

}  // namespace
}  // namespace qv::json
