#pragma once
// MD5 message digest (RFC 1321) with an incremental interface.

#include <cstdint>

class MD5 {
public:
    static constexpr int DIGEST_SIZE = 16;
    static constexpr int BLOCK_SIZE = 64;

    MD5() { init(); }
    void init();
    // Adds len bytes; nothing when len <= 0.
    void addBytes(const unsigned char* data, int len);
    // Writes the 16-byte digest and clears every field; call init() before reusing.
    void checksum(unsigned char* digest);

    uint32_t state[4];
    uint32_t bitCount[2]; // message length in bits, low word first
    unsigned char block[BLOCK_SIZE];

private:
    unsigned buffered() const { return (bitCount[0] >> 3) & (BLOCK_SIZE - 1); }
    void countBytes(unsigned len);
};
