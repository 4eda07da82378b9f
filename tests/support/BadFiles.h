#pragma once
// Files that must be refused before anything reaches the generator: damaged Intel HEX files of
// every kind and pictures that do not load, written into a caller's folder.
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>
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

// An extended linear address record for base, then 16 data bytes there.
inline std::string block(uint32_t base) {
    return record(4, 0, {uint8_t(base >> 24), uint8_t(base >> 16)}) +
           record(0, base & 0xFFFF, std::vector<uint8_t>(16, 0x5A));
}

inline bool put(const std::string& path, const std::string& bytes, size_t repeat = 1) {
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    for (size_t i = 0; ok && i < repeat; ++i)
        ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
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

inline std::vector<BadFile> badHexFiles(const std::string& dir) {
    const uint32_t base = 0x08000000;
    const std::string eof = record(1, 0, {}), good = block(base);
    std::string badSum = good + eof, nonHex = good + eof;
    char& sum = badSum[good.size() - 2]; // a digit of the data record's checksum
    sum = sum == '0' ? '1' : '0';
    nonHex[good.size() - 10] = 'G';
    const std::pair<const char*, std::string> texts[] = {
        {"checksum error", badSum},
        {"line cut short", good.substr(0, good.size() - 9) + "\n" + eof},
        {"non-hex characters", nonHex},
        {"no end-of-file record", good},
        {"record below the base", good + block(0) + eof},
        {"image beyond 64 MiB", good + block(base + (64u << 20)) + eof},
        {"empty file", ""},
        {"binary garbage", garbage(4096)},
    };
    std::vector<BadFile> out;
    int n = 0;
    for (const auto& t : texts) {
        const std::string path = dir + "/bad" + std::to_string(n++) + ".hex";
        if (put(path, t.second)) out.push_back({t.first, path});
    }
    const std::string longLine = dir + "/long.hex";
    if (put(longLine, ":") && put(longLine, std::string(1 << 20, 'A'), 100))
        out.push_back({"100 MB single line", longLine});
    addUnreadable(dir, ".hex", out);
    return out;
}

inline std::vector<BadFile> badPictures(const std::string& dir, size_t rawBytes) {
    std::vector<BadFile> out;
    const std::pair<const char*, std::string> files[] = {
        {"zero-byte PNG", ""},
        {"undecodable PNG", garbage(5000)},
        {"undecodable JPEG", "\xFF\xD8\xFF" + garbage(3000)},
        {"undecodable BMP", "BM" + garbage(3000)},
        {"raw bitmap one byte short", garbage(rawBytes - 1)},
        {"empty raw bitmap", ""}};
    const char* suffixes[] = {".png", ".png", ".jpg", ".bmp", ".bin", ".bin"};
    for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i) {
        const std::string path = dir + "/bad" + std::to_string(i) + suffixes[i];
        if (put(path, files[i].second)) out.push_back({files[i].first, path});
    }
    addUnreadable(dir, ".png", out);
    addUnreadable(dir, ".bin", out);
    return out;
}

} // namespace badfiles
