#pragma once
#include "serial/SIoUnix.h"

// Listens on "host:port" (TCP, IPv4) or on a local socket path; every accepted connection
// becomes a new non-blocking stream.
class SIoServer : public SIoUnix {
public:
    SIoServer();
    ~SIoServer() override;
    using SIoUnix::initialize;
    // Starts listening on dev; speed and framing are ignored.
    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override;
    int read(unsigned char* buf, unsigned n) override;
    int write(const unsigned char* buf, unsigned n) override;
    // Accepts a waiting connection and adds it to mux as an owned stream.
    int onReadReady(SIoMux& mux) override;
    // The stream object for one accepted connection; the caller owns it.
    virtual SIoUnix* newClient();
    // One waiting connection as a new stream, or null.
    SIoUnix* accept();
};
