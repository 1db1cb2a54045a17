// Loading the outside test vectors: JSON files under QUORVEX_VECTORS_DIR.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace qv::test {

inline boost::json::value load_vectors(const std::string& relative) {
    std::ifstream in(std::string(QUORVEX_VECTORS_DIR) + "/" + relative, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return boost::json::parse(text.str());
}

inline std::vector<std::uint8_t> unhex(boost::json::string_view hex) {
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
    }
    return out;
}

inline std::vector<std::uint8_t> hex_field(const boost::json::value& test, const char* name) {
    return unhex(test.at(name).as_string());
}

}  // namespace qv::test
