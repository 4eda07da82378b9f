#pragma once
#include <cstdarg>
#include <cstdint>

// Abstract byte stream under every device conversation. Time-outs are in milliseconds;
// readyForRead answers 1 (input waiting), 0 (time-out) or -1 (error).
class SerialIo {
public:
    enum Baudrate : int32_t { Baud9600 = 0, Baud19200 = 1, Baud38400 = 2, Baud115200 = 3 };
    enum Parity : int32_t { ParityEven = 0, ParityOdd = 1, ParityNone = 2 };

    // A new stream of this platform's kind, closed; the caller owns it.
    static SerialIo* PlatformSIo();
    // A new closed stream of the kind a port name asks for: "rfc2217://HOST:PORT" and
    // "tcp://HOST:PORT" reach a serial device server, any other name is a device path.
    static SerialIo* ForPort(const char* name);

    virtual ~SerialIo() {}
    virtual bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                            unsigned stop);
    virtual int printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual int vprintf(const char* fmt, va_list args);
    virtual int read(unsigned char* buf, unsigned n) = 0;
    // Up to n bytes that have already arrived (at least one once readyForRead said 1), in one
    // call; 0 or less when the stream ended. Streams without a cheaper way give one byte.
    virtual int readAvailable(unsigned char* buf, unsigned n);
    virtual int write(const unsigned char* buf, unsigned n) = 0;
    virtual int writeByte(unsigned char b);
    virtual bool flush(unsigned timeoutMs);
    virtual const char* devName() = 0;
    virtual int readyForRead(unsigned timeoutMs) = 0;
};
