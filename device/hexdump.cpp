#include "device/hexdump.h"

#include <cstdio>
#include <string>

void hexdump(unsigned base, const unsigned char* data, unsigned len, unsigned width) {
    if (width == 0 || (len && !data)) return;
    std::string line;
    for (unsigned offset = 0; offset < len; offset += width) {
        unsigned k = len - offset < width ? len - offset : width;
        char cell[16];
        std::snprintf(cell, sizeof cell, "0x%08x: ", base + offset);
        line = cell;
        for (unsigned i = 0; i < k; ++i) {
            std::snprintf(cell, sizeof cell, "%02x ", data[offset + i]);
            line += cell;
        }
        line.append(3 * (width - k), ' ');
        line += ": ";
        for (unsigned i = 0; i < k; ++i) {
            unsigned char c = data[offset + i];
            line += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
        if (len - offset <= width) break; // offset + width may wrap for huge len
    }
}
