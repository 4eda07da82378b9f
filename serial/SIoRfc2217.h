#pragma once
#include "serial/SIoTcp.h"

#include <functional>
#include <string>

// A serial line behind a device server, reached as "rfc2217://HOST:PORT": Telnet with binary
// transmission both ways, no go-ahead, and the COM-PORT-OPTION through which initialize sets
// the server's line (speed, data bits, parity, stop bits) and flush purges what the server
// holds. A data byte 0xFF travels as IAC IAC. The modem lines are never set nor waited for:
// many ports have none, and the generator needs none. The open fails, saying why on standard
// error, when the server refuses the option or leaves a setting unconfirmed for kConfirmMs.
class SIoRfc2217 : public SIoTcp {
public:
    static constexpr const char* kPrefix = "rfc2217://";
    static constexpr unsigned kConfirmMs = 3000;

    SIoRfc2217();
    ~SIoRfc2217() override;
    using SIoTcp::initialize;
    // dev is the whole address, "rfc2217://HOST:PORT".
    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override;
    int write(const unsigned char* buf, unsigned n) override;
    bool flush(unsigned timeoutMs) override;
    // How long the open waits for each answer of the server (kConfirmMs unless set).
    void setConfirmMs(unsigned ms) { confirmMs_ = ms; }

protected:
    void take(const unsigned char* raw, unsigned n) override;

private:
    struct Telnet;
    bool negotiate();
    bool setLine();
    // Pumps input until done() holds or confirmMs_ pass; false on time-out or a lost line.
    bool awaitServer(const std::function<bool()>& done);
    bool failOpen(const std::string& why);

    Telnet* t_;
    unsigned confirmMs_ = kConfirmMs;
};
