// decode_base64url against its rules; the round trip against Python's
// encoder is in tests/test_secret_box_keyed.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/base64url.hpp"

namespace qv::json {
namespace {

TEST(Base64url, Rules) {
    const Error bad = Error::malformed("base64url");
    struct Case { std::string text; Result<std::vector<std::uint8_t>> expected; };
    const Case cases[] = {
        {"", std::vector<std::uint8_t>{}},
        {"====", std::vector<std::uint8_t>{}},
        {"AQID", std::vector<std::uint8_t>{1, 2, 3}},
        {"AQID==", std::vector<std::uint8_t>{1, 2, 3}},
        {"AQID=====", std::vector<std::uint8_t>{1, 2, 3}},
        {"AQ", std::vector<std::uint8_t>{1}},
        {"AQ==", std::vector<std::uint8_t>{1}},
        {"AQI", std::vector<std::uint8_t>{1, 2}},
        {"-_-_", std::vector<std::uint8_t>{0xFB, 0xFF, 0xBF}},
        {"AR", bad},          // low 4 bits of the last character set
        {"AQJ", bad},         // low 2 bits of the last character set
        {"AQIDB", bad},       // 4k+1 characters
        {"A", bad},
        {"AQ=D", bad},        // "=" before the end
        {"+/+/", bad},        // the standard alphabet
        {"AQ I", bad},
        {"AQI\n", bad},
        {"AQ\xC3\xA9", bad},  // non-ASCII
        {std::string("AQ\0D", 4), bad},
    };
    for (const Case& c : cases) {
        auto got = decode_base64url(c.text);
        ASSERT_EQ(got.ok(), c.expected.ok()) << c.text;
        if (got.ok()) {
            EXPECT_EQ(std::vector<std::uint8_t>(got->data(), got->data() + got->size()), c.expected.value()) << c.text;
        } else {
            EXPECT_EQ(render(got.error()), render(c.expected.error())) << c.text;
        }
    }
}

}  // namespace
}  // namespace qv::json
