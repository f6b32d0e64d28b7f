// Files the end-to-end tests write for a server to serve, and read back from it or from a
// process's output.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <fstream>
#include <sstream>
#include <string>

namespace vrns_test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// Deterministic bytes (a linear congruential sequence), so a mismatch shows where it starts and
// two seeds give two different files.
inline std::string PatternBytes(size_t n, uint32_t seed = 12345) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = char(seed >> 24);
    }
    return s;
}

}  // namespace vrns_test
