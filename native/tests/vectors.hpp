// Reading the test vectors kept in tests/vectors (a missing file is a test
// failure that names it, not an empty document).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace qv::test {

inline std::filesystem::path vector_path(const std::string& relative) {
    return std::filesystem::path(QUORVEX_VECTORS_DIR) / relative;
}

// The whole text of tests/vectors/<relative>; throws naming the file when it
// cannot be read.
inline std::string read_vector_file(const std::string& relative) {
    const auto path = vector_path(relative);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("test vector file missing: " + path.string());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A Wycheproof file from tests/vectors/wycheproof, parsed.
inline boost::json::value load_vectors(const std::string& name) {
    return boost::json::parse(read_vector_file("wycheproof/" + name));
}

inline std::vector<std::uint8_t> unhex(boost::json::string_view s) {
    std::vector<std::uint8_t> out(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(std::stoi(std::string(s.substr(2 * i, 2)), nullptr, 16));
    return out;
}

inline std::vector<std::uint8_t> field(const boost::json::value& t, const char* name) {
    return unhex(t.at(name).as_string());
}

}  // namespace qv::test
