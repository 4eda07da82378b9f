#pragma once
// Generator frames as bytes: start byte (0xAA requests, 0xAB replies), tag, length, two address
// bytes, code and payload, then the byte that brings the sum to 0.
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes summed(Bytes f) {
    unsigned sum = 0;
    for (uint8_t b : f) sum += b;
    f.push_back(uint8_t(0x100 - sum % 0x100));
    return f;
}
inline Bytes frame(uint8_t start, unsigned code, const Bytes& payload, uint16_t tag = 0,
                   uint8_t a1 = 0, uint8_t a0 = 0) {
    const size_t len = payload.size() + 5;
    return summed(Bytes{start, uint8_t(tag), uint8_t(tag >> 8), uint8_t(len), uint8_t(len >> 8), a1,
                        a0, uint8_t(code), uint8_t(code >> 8)} +
                  payload);
}
inline Bytes request(unsigned code, const Bytes& payload = {}) {
    return frame(0xAA, code, payload);
}
inline Bytes answer(unsigned code, const Bytes& payload) {
    return frame(0xAB, code, payload);
}
inline Bytes ack(unsigned code) {
    return answer(0xFFFF, {uint8_t(code), uint8_t(code >> 8)});
}
