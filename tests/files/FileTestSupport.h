#pragma once
// Temporary directories and whole-file helpers for the data-file tests.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

namespace filetest {

using Bytes = std::vector<unsigned char>;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kivo-files-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        path = tmpl;
    }
    ~TempDir() {
        if (std::system(("rm -rf '" + path + "'").c_str()) != 0) perror(path.c_str());
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<unsigned char>(rng());
    return b;
}

} // namespace filetest
