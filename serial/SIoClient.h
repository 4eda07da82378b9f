#pragma once
#include "serial/SIoUnix.h"

// Connects to "host:port" (TCP) or a local socket path, or opens a serial device for names
// under /dev/. Only the first failing attempt is reported; the multiplexer retries silently.
class SIoClient : public SIoUnix {
public:
    SIoClient();
    ~SIoClient() override;
    // Speed and framing are not stored: a device is opened with the settings already held.
    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override;
    bool reinitialize() override;
    virtual bool initialize(const char* host, const char* port);
    virtual bool initialize(int fd);
};
