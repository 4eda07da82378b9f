#pragma once
// Table-driven hexadecimal digit conversion shared by the record reader and writer.

#include <cstdint>

namespace kivo_hex {

struct DigitTable {
    int8_t value[256];
    constexpr DigitTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = -1;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<int8_t>(10 + i);
            value['a' + i] = static_cast<int8_t>(10 + i);
        }
    }
};
inline constexpr DigitTable digits{};
inline constexpr char upperDigits[] = "0123456789ABCDEF";

// Two digits (either case) as one byte, or -1 when either is not a hexadecimal digit.
inline int pairValue(const char* p) {
    const int hi = digits.value[static_cast<unsigned char>(p[0])];
    const int lo = digits.value[static_cast<unsigned char>(p[1])];
    return (hi | lo) < 0 ? -1 : (hi << 4) | lo;
}

inline char* putByte(char* out, unsigned value) {
    out[0] = upperDigits[(value >> 4) & 0xF];
    out[1] = upperDigits[value & 0xF];
    return out + 2;
}

} // namespace kivo_hex
