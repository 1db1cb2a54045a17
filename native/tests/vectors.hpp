// Reading the test vectors kept in tests/vectors (a missing file is a test
// failure that names it, not an empty document).
#pragma once

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace qv::test {

inline std::filesystem::path vector_path(const std::string& relative) {
    return std::filesystem::path(QUORVEX_VECTORS_DIR) / relative;
}

// The whole text of a file; throws naming the file when it cannot be read.
inline std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("test vector file missing: " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The hex string member `name` of a Wycheproof test, as bytes.
inline std::vector<std::uint8_t> field(const boost::json::value& t, const char* name) {
    const boost::json::string& hex = t.at(name).as_string();
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) std::from_chars(&hex[2 * i], &hex[2 * i] + 2, out[i], 16);
    return out;
}

}  // namespace qv::test
