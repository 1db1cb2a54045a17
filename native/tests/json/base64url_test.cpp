// decode_base64url against its rules and against a straightforward encoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/base64url.hpp"

namespace qv::json {
namespace {

std::string encode(const std::vector<std::uint8_t>& in) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        std::uint32_t v = in[i] << 16;
        if (i + 1 < in.size()) v |= in[i + 1] << 8;
        if (i + 2 < in.size()) v |= in[i + 2];
        const std::size_t chars = std::min<std::size_t>(4, in.size() - i + 1);
        for (std::size_t k = 0; k < chars; ++k) out += alphabet[(v >> (18 - 6 * k)) & 63];
    }
    return out;
}

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

TEST(Base64url, RoundTripsEveryLengthAndByte) {
    for (std::size_t n = 0; n <= 300; ++n) {
        std::vector<std::uint8_t> in(n);
        for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i * 37 + n);
        auto got = decode_base64url(encode(in));
        ASSERT_TRUE(got.ok()) << n;
        EXPECT_EQ(std::vector<std::uint8_t>(got->data(), got->data() + got->size()), in) << n;
    }
}

}  // namespace
}  // namespace qv::json
