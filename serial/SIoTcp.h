#pragma once
#include "serial/SIoClient.h"

#include <string>
#include <vector>

// A serial line behind a device server, reached as "tcp://HOST:PORT": raw bytes both ways,
// the line settings fixed on the server. HOST is a name, an IPv4 address or a bracketed IPv6
// address. Reads wait at most kStallMs for a byte that is due, so a silent or vanished server
// never holds the caller; a lost connection is reported once on standard error with its address.
class SIoTcp : public SIoClient {
public:
    static constexpr const char* kPrefix = "tcp://";
    static constexpr unsigned kStallMs = 10000;

    SIoTcp();
    ~SIoTcp() override;
    using SIoClient::initialize;
    // dev is the whole address, "tcp://HOST:PORT" (the prefix may be left out).
    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override;
    int read(unsigned char* buf, unsigned n) override;
    int readAvailable(unsigned char* buf, unsigned n) override;
    int write(const unsigned char* buf, unsigned n) override;
    // The address as given, with its prefix, so that the same kind of stream can be reopened.
    const char* devName() override;
    // The line of the last connection this process lost ("ADDRESS: reason"), empty if none: a
    // job whose streams are gone can still say where its line broke.
    static const std::string& lastLoss();
    int readyForRead(unsigned timeoutMs) override;

    // "HOST:PORT" of a name with this stream's prefix; false for a name without it.
    static bool stripPrefix(const char* name, const char* prefix, std::string& hostPort);

protected:
    // Raw bytes off the socket; here they are data as they are.
    virtual void take(const unsigned char* raw, unsigned n);
    // Queues bytes for the reader.
    void deliver(const unsigned char* data, unsigned n);
    // Sends every byte, waiting at most kStallMs whenever the socket is full; false once lost.
    bool sendRaw(const unsigned char* buf, unsigned n);
    // Waits up to timeoutMs (0: no limit) for raw input and takes it: 1 when something came,
    // 0 on time-out, -1 when the connection is gone.
    int pump(unsigned timeoutMs);
    bool lost() const { return lost_; }
    void setAddress(const std::string& address) { address_ = address; }

private:
    int loseConnection(int err);
    unsigned buffered() const { return static_cast<unsigned>(in_.size() - head_); }

    std::string address_;
    std::vector<unsigned char> in_; // data bytes not yet read, from head_ on
    size_t head_ = 0;
    bool lost_ = false;
};
