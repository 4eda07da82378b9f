#pragma once
// Passes everything through to another stream and keeps a copy of what the host wrote.
#include "serial/SerialIo.h"

#include <cstdint>
#include <vector>

class TapStream : public SerialIo {
public:
    explicit TapStream(SerialIo& inner) : inner_(inner) {}
    std::vector<uint8_t> written;

    int read(unsigned char* buf, unsigned n) override { return inner_.read(buf, n); }
    int readAvailable(unsigned char* buf, unsigned n) override {
        return inner_.readAvailable(buf, n);
    }
    int write(const unsigned char* buf, unsigned n) override {
        written.insert(written.end(), buf, buf + n);
        return inner_.write(buf, n);
    }
    const char* devName() override { return inner_.devName(); }
    int readyForRead(unsigned timeoutMs) override { return inner_.readyForRead(timeoutMs); }

private:
    SerialIo& inner_;
};
