#pragma once
// Writer for data files, optionally preceded by a 32-byte header carrying a magic word and the
// MD5 digest of the data.

#include <cstdint>

struct BrixFileHeader {
    char magic[4];              // "Brix", set by writeFile
    unsigned char reserved[12]; // the caller's, written unchanged
    unsigned char md5[16];      // digest of the data that follows the header
};
static_assert(sizeof(BrixFileHeader) == 32, "header is written byte for byte");

// Creates or truncates `path` (mode 0644) and writes the header (when given) and the data.
// Every failure (open, write, close) is reported through perror(path) and returns false.
// The caller's header gets its magic and digest filled in.
bool writeFile(const char* path, const unsigned char* data, unsigned len, BrixFileHeader* header);
