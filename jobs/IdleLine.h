#pragma once
// Internal: waits of the firmware job cut into short slices with an idle sink called between
// them, so a caller's event loop keeps turning through the bootloader's pauses and replies. The
// waits end at their own deadlines; the sink's answer is not heeded.
#include "device/KivoProgress.h"
#include "serial/SerialIo.h"
#include "serial/TimeSource.h"

#include <memory>

// Sleeps ms on time, calling sink (when not null) at least every idle slice.
void idleSleep(unsigned ms, KivoProgress* sink, TimeSource& time = TimeSource::real());

// A stream that forwards to the one it owns, slicing every readiness wait (and so the flush
// built on it) for the sink; the slices count on time.
class IdleLine final : public SerialIo {
public:
    IdleLine(SerialIo* owned, KivoProgress* sink, TimeSource& time = TimeSource::real())
        : line(owned), sink(sink), time(time) {}

    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override {
        return line->initialize(dev, baud, bits, parity, stop);
    }
    int read(unsigned char* buf, unsigned n) override { return line->read(buf, n); }
    int readAvailable(unsigned char* buf, unsigned n) override {
        return line->readAvailable(buf, n);
    }
    int write(const unsigned char* buf, unsigned n) override { return line->write(buf, n); }
    const char* devName() override { return line->devName(); }
    int readyForRead(unsigned timeoutMs) override;

private:
    std::unique_ptr<SerialIo> line;
    KivoProgress* sink;
    TimeSource& time;
};
