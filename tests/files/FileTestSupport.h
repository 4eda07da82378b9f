#pragma once
// Temporary directories, whole-file helpers and an independent HEX line formatter for the
// data-file tests.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace filetest {

using Bytes = std::vector<unsigned char>;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kivo-files-XXXXXX";
        const char* made = mkdtemp(tmpl);
        path_ = made ? made : "/tmp";
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
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

// One record line formatted here rather than by the code under test.
inline std::string hexLine(int type, unsigned address, const Bytes& data, int checksumDelta = 0) {
    std::ostringstream s;
    char buf[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) +
                   static_cast<unsigned>(type);
    snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF,
             static_cast<unsigned>(type));
    s << buf;
    for (unsigned char v : data) {
        snprintf(buf, sizeof buf, "%02X", v);
        s << buf;
        sum += v;
    }
    snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF) + checksumDelta) & 0xFF);
    s << buf;
    return s.str();
}

inline std::string dataLine(unsigned address, const Bytes& data) {
    return hexLine(0, address, data);
}
inline std::string linearLine(unsigned upper16) {
    return hexLine(4, 0,
                   {static_cast<unsigned char>(upper16 >> 8), static_cast<unsigned char>(upper16)});
}
inline std::string segmentLine(unsigned segment) {
    return hexLine(2, 0,
                   {static_cast<unsigned char>(segment >> 8), static_cast<unsigned char>(segment)});
}
inline const std::string& eofLine() {
    static const std::string line = ":00000001FF\n";
    return line;
}

// HEX text for `data` placed at absolute address `start`, in records of `recordLen` bytes,
// with an extended linear address record whenever the upper 16 bits change (and none while
// they are 0 unless `linearFromStart`).
inline std::string hexImage(uint32_t start, const Bytes& data, size_t recordLen,
                            bool linearFromStart = true) {
    std::string text;
    long upper = linearFromStart ? -1 : 0;
    for (size_t i = 0; i < data.size();) {
        const uint32_t addr = start + static_cast<uint32_t>(i);
        if (static_cast<long>(addr >> 16) != upper) {
            upper = addr >> 16;
            text += linearLine(static_cast<unsigned>(upper));
        }
        size_t n = std::min(recordLen, data.size() - i);
        n = std::min<size_t>(n, 0x10000 - (addr & 0xFFFF)); // never wrap a 16-bit offset
        text += dataLine(addr & 0xFFFF, Bytes(data.begin() + i, data.begin() + i + n));
        i += n;
    }
    return text;
}

} // namespace filetest
