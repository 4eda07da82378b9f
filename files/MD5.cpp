#include "files/MD5.h"

#include <cstring>

namespace {

constexpr uint32_t INIT_A = 0x67452301, INIT_B = 0xefcdab89, INIT_C = 0x98badcfe,
                   INIT_D = 0x10325476;
constexpr unsigned LENGTH_BYTES = 8;

inline uint32_t load32(const unsigned char* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void store32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint32_t rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// The four round steps; G's two terms never share a bit, so they are added separately to
// shorten the dependency chain.
#define STEP_F(a, b, c, d, x, s, k)                                                                \
    a += ((d ^ (b & (c ^ d))) + (x) + (k));                                                        \
    a = rotl(a, s) + b
#define STEP_G(a, b, c, d, x, s, k)                                                                \
    a += ((~d & c) + (x) + (k));                                                                   \
    a += (d & b);                                                                                  \
    a = rotl(a, s) + b
#define STEP_H(a, b, c, d, x, s, k)                                                                \
    a += ((b ^ c ^ d) + (x) + (k));                                                                \
    a = rotl(a, s) + b
#define STEP_I(a, b, c, d, x, s, k)                                                                \
    a += ((c ^ (b | ~d)) + (x) + (k));                                                             \
    a = rotl(a, s) + b

// Words are loaded where they are used: copying the block first costs registers.
#define X(i) load32(p + 4 * (i))

void transform(uint32_t state[4], const unsigned char* p, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks > 0; --blocks, p += MD5::BLOCK_SIZE) {
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        STEP_F(a, b, c, d, X(0), 7, 0xd76aa478);
        STEP_F(d, a, b, c, X(1), 12, 0xe8c7b756);
        STEP_F(c, d, a, b, X(2), 17, 0x242070db);
        STEP_F(b, c, d, a, X(3), 22, 0xc1bdceee);
        STEP_F(a, b, c, d, X(4), 7, 0xf57c0faf);
        STEP_F(d, a, b, c, X(5), 12, 0x4787c62a);
        STEP_F(c, d, a, b, X(6), 17, 0xa8304613);
        STEP_F(b, c, d, a, X(7), 22, 0xfd469501);
        STEP_F(a, b, c, d, X(8), 7, 0x698098d8);
        STEP_F(d, a, b, c, X(9), 12, 0x8b44f7af);
        STEP_F(c, d, a, b, X(10), 17, 0xffff5bb1);
        STEP_F(b, c, d, a, X(11), 22, 0x895cd7be);
        STEP_F(a, b, c, d, X(12), 7, 0x6b901122);
        STEP_F(d, a, b, c, X(13), 12, 0xfd987193);
        STEP_F(c, d, a, b, X(14), 17, 0xa679438e);
        STEP_F(b, c, d, a, X(15), 22, 0x49b40821);

        STEP_G(a, b, c, d, X(1), 5, 0xf61e2562);
        STEP_G(d, a, b, c, X(6), 9, 0xc040b340);
        STEP_G(c, d, a, b, X(11), 14, 0x265e5a51);
        STEP_G(b, c, d, a, X(0), 20, 0xe9b6c7aa);
        STEP_G(a, b, c, d, X(5), 5, 0xd62f105d);
        STEP_G(d, a, b, c, X(10), 9, 0x02441453);
        STEP_G(c, d, a, b, X(15), 14, 0xd8a1e681);
        STEP_G(b, c, d, a, X(4), 20, 0xe7d3fbc8);
        STEP_G(a, b, c, d, X(9), 5, 0x21e1cde6);
        STEP_G(d, a, b, c, X(14), 9, 0xc33707d6);
        STEP_G(c, d, a, b, X(3), 14, 0xf4d50d87);
        STEP_G(b, c, d, a, X(8), 20, 0x455a14ed);
        STEP_G(a, b, c, d, X(13), 5, 0xa9e3e905);
        STEP_G(d, a, b, c, X(2), 9, 0xfcefa3f8);
        STEP_G(c, d, a, b, X(7), 14, 0x676f02d9);
        STEP_G(b, c, d, a, X(12), 20, 0x8d2a4c8a);

        STEP_H(a, b, c, d, X(5), 4, 0xfffa3942);
        STEP_H(d, a, b, c, X(8), 11, 0x8771f681);
        STEP_H(c, d, a, b, X(11), 16, 0x6d9d6122);
        STEP_H(b, c, d, a, X(14), 23, 0xfde5380c);
        STEP_H(a, b, c, d, X(1), 4, 0xa4beea44);
        STEP_H(d, a, b, c, X(4), 11, 0x4bdecfa9);
        STEP_H(c, d, a, b, X(7), 16, 0xf6bb4b60);
        STEP_H(b, c, d, a, X(10), 23, 0xbebfbc70);
        STEP_H(a, b, c, d, X(13), 4, 0x289b7ec6);
        STEP_H(d, a, b, c, X(0), 11, 0xeaa127fa);
        STEP_H(c, d, a, b, X(3), 16, 0xd4ef3085);
        STEP_H(b, c, d, a, X(6), 23, 0x04881d05);
        STEP_H(a, b, c, d, X(9), 4, 0xd9d4d039);
        STEP_H(d, a, b, c, X(12), 11, 0xe6db99e5);
        STEP_H(c, d, a, b, X(15), 16, 0x1fa27cf8);
        STEP_H(b, c, d, a, X(2), 23, 0xc4ac5665);

        STEP_I(a, b, c, d, X(0), 6, 0xf4292244);
        STEP_I(d, a, b, c, X(7), 10, 0x432aff97);
        STEP_I(c, d, a, b, X(14), 15, 0xab9423a7);
        STEP_I(b, c, d, a, X(5), 21, 0xfc93a039);
        STEP_I(a, b, c, d, X(12), 6, 0x655b59c3);
        STEP_I(d, a, b, c, X(3), 10, 0x8f0ccc92);
        STEP_I(c, d, a, b, X(10), 15, 0xffeff47d);
        STEP_I(b, c, d, a, X(1), 21, 0x85845dd1);
        STEP_I(a, b, c, d, X(8), 6, 0x6fa87e4f);
        STEP_I(d, a, b, c, X(15), 10, 0xfe2ce6e0);
        STEP_I(c, d, a, b, X(6), 15, 0xa3014314);
        STEP_I(b, c, d, a, X(13), 21, 0x4e0811a1);
        STEP_I(a, b, c, d, X(4), 6, 0xf7537e82);
        STEP_I(d, a, b, c, X(11), 10, 0xbd3af235);
        STEP_I(c, d, a, b, X(2), 15, 0x2ad7d2bb);
        STEP_I(b, c, d, a, X(9), 21, 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef X
#undef STEP_F
#undef STEP_G
#undef STEP_H
#undef STEP_I

} // namespace

void MD5::init() {
    state[0] = INIT_A;
    state[1] = INIT_B;
    state[2] = INIT_C;
    state[3] = INIT_D;
    bitCount[0] = bitCount[1] = 0;
    memset(block, 0, sizeof block);
}

void MD5::countBytes(unsigned len) {
    const uint64_t bits = ((static_cast<uint64_t>(bitCount[1]) << 32) | bitCount[0]) +
                          (static_cast<uint64_t>(len) << 3);
    bitCount[0] = static_cast<uint32_t>(bits);
    bitCount[1] = static_cast<uint32_t>(bits >> 32);
}

void MD5::addBytes(const unsigned char* data, int len) {
    if (len <= 0 || data == nullptr) return;
    size_t left = static_cast<size_t>(len);
    const unsigned have = buffered();
    countBytes(static_cast<unsigned>(len));
    if (have > 0) {
        const size_t room = BLOCK_SIZE - have;
        const size_t take = left < room ? left : room;
        memcpy(block + have, data, take);
        data += take;
        left -= take;
        if (have + take < BLOCK_SIZE) return;
        transform(state, block, 1);
    }
    const size_t whole = left / BLOCK_SIZE;
    if (whole > 0) transform(state, data, whole);
    data += whole * BLOCK_SIZE;
    left -= whole * BLOCK_SIZE;
    if (left > 0) memcpy(block, data, left);
}

void MD5::checksum(unsigned char* digest) {
    unsigned char length[LENGTH_BYTES];
    store32(length, bitCount[0]);
    store32(length + 4, bitCount[1]);
    // A one bit, zeros up to 56 mod 64, then the bit count.
    static const unsigned char padding[BLOCK_SIZE] = {0x80};
    const unsigned have = buffered();
    const unsigned padLen = have < BLOCK_SIZE - LENGTH_BYTES ? BLOCK_SIZE - LENGTH_BYTES - have
                                                             : 2 * BLOCK_SIZE - LENGTH_BYTES - have;
    addBytes(padding, static_cast<int>(padLen));
    addBytes(length, LENGTH_BYTES);
    if (digest != nullptr) {
        for (int i = 0; i < 4; ++i) store32(digest + 4 * i, state[i]);
    }
    memset(state, 0, sizeof state);
    memset(bitCount, 0, sizeof bitCount);
    memset(block, 0, sizeof block);
}
