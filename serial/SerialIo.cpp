#include "serial/SerialIo.h"
#include "serial/SIoUnix.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

SerialIo* SerialIo::PlatformSIo() {
    return new SIoUnix();
}

bool SerialIo::initialize(const char*, Baudrate, unsigned, Parity, unsigned) {
    return true;
}

int SerialIo::printf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = vprintf(fmt, args);
    va_end(args);
    return n;
}

int SerialIo::vprintf(const char* fmt, va_list args) {
    char* text = nullptr;
    int n = vasprintf(&text, fmt, args);
    if (n < 0) return -1; // nothing was formatted, so nothing is sent
    // Every command sent this way is traced on standard error (the stream, so that a caller
    // that points stderr elsewhere moves the trace with it).
    fwrite(text, 1, static_cast<size_t>(n), stderr);
    fflush(stderr);
    write(reinterpret_cast<const unsigned char*>(text), static_cast<unsigned>(n));
    free(text);
    return n;
}

int SerialIo::readAvailable(unsigned char* buf, unsigned n) {
    return n ? read(buf, 1) : 0;
}

int SerialIo::writeByte(unsigned char b) {
    return write(&b, 1);
}

// A line that never falls quiet (noise, a babbling peer) must not hold the caller for good.
constexpr unsigned kMaxFlushBytes = 65536;

bool SerialIo::flush(unsigned timeoutMs) {
    unsigned char b;
    // A hung-up line stays readable but yields nothing: stop there instead of spinning.
    for (unsigned n = 0; n < kMaxFlushBytes && readyForRead(timeoutMs) == 1; ++n) {
        if (read(&b, 1) != 1) break;
    }
    return true;
}
