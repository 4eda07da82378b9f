#pragma once
// State record of SIoUnix, shared by the socket streams and the multiplexer; not public.
#include "serial/SerialIo.h"
#include <termios.h>

struct SIoUnixState {
    static constexpr unsigned kLineCap = 1024;

    char* dev = nullptr; // malloc'ed device path or socket address
    int fd = -1;
    SerialIo::Baudrate baud = SerialIo::Baud115200;
    SerialIo::Parity parity = SerialIo::ParityNone;
    unsigned bits = 8;
    unsigned stop = 1;
    termios savedAttrs{};
    bool haveSavedAttrs = false;
    bool attempted = false; // the socket client reports only its first failure
    bool exclusive = false; // TIOCEXCL taken on the open line, given back before close
    bool tuned = false;     // the line runs at low latency on our request (savedLineFlags)
    int savedLineFlags = 0; // the driver's line flags from before that request
    unsigned char* lineBuf = nullptr;
    unsigned lineCap = kLineCap;
    unsigned lineLen = 0;

    void setDev(const char* name);
};

// Gives back what opening took on the line: its exclusivity and its tuning.
void releaseLine(SIoUnixState& s);

// Puts the saved terminal settings back (when there are any) and closes the descriptor.
void restoreAndClose(SIoUnixState& s);

// A wait time-out in milliseconds as poll() takes it: 0 means no limit.
int pollTimeout(unsigned timeoutMs);
