#pragma once
// Files that must be refused before anything reaches the generator: a damaged Intel HEX file,
// files that cannot be read, and pictures that do not load, written into a caller's folder.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace badfiles {

struct BadFile {
    std::string what;
    std::string path;
};

inline std::string record(unsigned type, unsigned addr, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b = {uint8_t(data.size()), uint8_t(addr >> 8), uint8_t(addr),
                              uint8_t(type)};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t x : b) sum += x;
    b.push_back(uint8_t(0x100 - (sum & 0xFF)));
    std::string out = ":";
    char hex[3];
    for (uint8_t x : b) out += (std::snprintf(hex, sizeof hex, "%02X", x), hex);
    return out + "\n";
}

// Intel HEX text of data at base, in 16-byte records.
inline std::string hexText(uint32_t base, const std::vector<uint8_t>& data) {
    std::string text = record(4, 0, {uint8_t(base >> 24), uint8_t(base >> 16)});
    for (size_t at = 0; at < data.size(); at += 16)
        text += record(0, (base + at) & 0xFFFF,
                       {data.begin() + at, data.begin() + std::min(at + 16, data.size())});
    return text + record(1, 0, {});
}

inline bool put(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f && std::fclose(f) == 0 && ok;
}

inline std::string garbage(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) c = char((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

// Kinds every loader of the given suffix refuses: a folder, a FIFO (opening it would wait for a
// writer), a link to a file whose reading fails even for root, a missing file.
inline void addUnreadable(const std::string& dir, const std::string& suffix,
                          std::vector<BadFile>& out) {
    const std::string folder = dir + "/folder" + suffix, fifo = dir + "/fifo" + suffix,
                      link = dir + "/unreadable" + suffix;
    if (mkdir(folder.c_str(), 0755) == 0) out.push_back({"directory", folder});
    if (mkfifo(fifo.c_str(), 0644) == 0) out.push_back({"FIFO", fifo});
    if (symlink("/proc/self/mem", link.c_str()) == 0) out.push_back({"unreadable file", link});
    out.push_back({"missing file", dir + "/missing" + suffix});
}

// The loader's own failures are rows of its own table; here a bad checksum stands for them.
inline std::vector<BadFile> badHexFiles(const std::string& dir) {
    std::vector<BadFile> out;
    if (put(dir + "/bad.hex", ":0100000000FE\n:00000001FF\n"))
        out.push_back({"checksum error", dir + "/bad.hex"});
    addUnreadable(dir, ".hex", out);
    return out;
}

inline std::vector<BadFile> badPictures(const std::string& dir, size_t rawBytes) {
    std::vector<BadFile> out;
    const std::tuple<const char*, const char*, std::string> files[] = {
        {"zero-byte PNG", ".png", ""},
        {"undecodable PNG", ".png", garbage(5000)},
        {"undecodable JPEG", ".jpg", "\xFF\xD8\xFF" + garbage(3000)},
        {"undecodable BMP", ".bmp", "BM" + garbage(3000)},
        {"raw bitmap one byte short", ".bin", garbage(rawBytes - 1)},
        {"empty raw bitmap", ".bin", ""}};
    for (const auto& [what, suffix, bytes] : files) {
        const std::string path = dir + "/bad" + std::to_string(out.size()) + suffix;
        if (put(path, bytes)) out.push_back({what, path});
    }
    addUnreadable(dir, ".png", out);
    addUnreadable(dir, ".bin", out);
    return out;
}

} // namespace badfiles
