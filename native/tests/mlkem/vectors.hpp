// Reading Wycheproof files in the native tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace qv::test {

inline boost::json::value load_vectors(const std::string& name) {
    std::ifstream in(std::string(QUORVEX_VECTORS_DIR) + "/wycheproof/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    return boost::json::parse(ss.str());
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
