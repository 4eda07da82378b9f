#pragma once
// Writes a small Intel HEX file through the record layer: an extended linear address record,
// data records of 16 bytes, and the end-of-file record.
#include "files/IHexRecord.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline bool writeHexFile(const std::string& path, uint32_t base, const std::vector<uint8_t>& data,
                         bool withData = true) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    IHexRecord r;
    bool ok = true;
    unsigned char ela[2] = {static_cast<unsigned char>(base >> 24),
                            static_cast<unsigned char>(base >> 16)};
    ok = ok && New_IHexRecord(IHEX_TYPE_EXTENDED_LINEAR_ADDRESS, 0, ela, 2, &r) == IHEX_OK &&
         Write_IHexRecord(r, f) == IHEX_OK;
    for (size_t at = 0; withData && ok && at < data.size(); at += 16) {
        std::vector<unsigned char> line(data.begin() + at,
                                        data.begin() + std::min(data.size(), at + 16));
        ok = New_IHexRecord(IHEX_TYPE_DATA, static_cast<unsigned short>((base + at) & 0xFFFF),
                            line.data(), static_cast<int>(line.size()), &r) == IHEX_OK &&
             Write_IHexRecord(r, f) == IHEX_OK;
    }
    unsigned char none[1] = {0};
    ok = ok && New_IHexRecord(IHEX_TYPE_EOF, 0, none, 0, &r) == IHEX_OK &&
         Write_IHexRecord(r, f) == IHEX_OK;
    return std::fclose(f) == 0 && ok;
}

inline std::vector<uint8_t> firmwareImage(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + 7);
    return v;
}
