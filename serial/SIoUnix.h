#pragma once
#include "serial/SerialIo.h"

class SIoMux;
struct SIoUnixState;

// Stream on a POSIX descriptor: a terminal device opened by path, or an adopted descriptor.
// Also the base of the socket streams, whose lines it assembles for the multiplexer.
class SIoUnix : public SerialIo {
public:
    SIoUnix();
    ~SIoUnix() override;
    SIoUnix(const SIoUnix&) = delete;
    SIoUnix& operator=(const SIoUnix&) = delete;

    // Opens dev exclusively (a line held by another descriptor fails) and configures it.
    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override;
    // Adopts an open descriptor; its terminal settings are left as they are.
    bool initialize(int fd);
    int read(unsigned char* buf, unsigned n) override;
    int readAvailable(unsigned char* buf, unsigned n) override;
    int write(const unsigned char* buf, unsigned n) override;
    const char* devName() override;
    int readyForRead(unsigned timeoutMs) override;

    // Closes without putting the saved terminal settings back.
    virtual bool deinitialize();
    // Reopens the stored device with the stored settings.
    virtual bool reinitialize();
    // Reads what is waiting and dispatches complete lines to argv; -1 when the stream ended.
    virtual int onReadReady(SIoMux& mux);
    // One received line split into words; -1 means not handled (the line is traced).
    virtual int argv(unsigned argc, const char** argv);

    // The open descriptor, -1 while closed.
    int fd() const;
    SIoUnixState& state() const { return *st_; }

private:
    SIoUnixState* st_;
};
