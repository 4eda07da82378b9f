#pragma once
// Trace helper: hexadecimal and character dump to standard output, width bytes per line
// (width must not be 0).
void hexdump(unsigned base, const unsigned char* data, unsigned len, unsigned width);
