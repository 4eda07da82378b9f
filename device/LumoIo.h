#pragma once
// Host end of the generator's own serial protocol: tagged binary register frames with an additive
// checksum, and the generator's line console.
#include "device/KivoProgress.h"
#include "serial/TimeSource.h"

#include <chrono>
#include <cstdint>

class SerialIo;

class LumoIo {
public:
    // One entry of a request payload gather list; entries with len 0 contribute nothing.
    struct iov {
        const unsigned char* data;
        uint32_t len;
    };

    // Works on the caller's open stream, which must outlive this object.
    explicit LumoIo(SerialIo& s);
    // Creates its own stream, opened by initialize(); only the pointer dev is kept.
    explicit LumoIo(const char* dev);
    LumoIo(const LumoIo&) = delete;
    LumoIo& operator=(const LumoIo&) = delete;

    // Opens the owned stream at 115200 8N1; true at once for an object on a caller's stream.
    virtual bool initialize();
    virtual ~LumoIo();

    // One request/response exchange. Bit 15 of code set: read request. On success reply holds a
    // new[] array of replyLen payload bytes (possibly empty, still to be delete[]d); on failure
    // reply is null and replyLen 0.
    bool llio(unsigned code, const iov* vec, unsigned count, unsigned char*& reply,
              unsigned& replyLen);
    bool llio(unsigned code, const unsigned char* data, unsigned len, unsigned char*& reply,
              unsigned& replyLen);

    bool ioWrite1(unsigned code, unsigned char value);
    // value changes only when the reply carries exactly one byte.
    bool ioRead1(unsigned code, unsigned char& value);
    // value is the reply payload read big-endian (at most 4 bytes).
    bool ioRead(unsigned code, unsigned char selector, unsigned& value);

    // Sends one console line (after an empty line) and collects whatever arrives until the console
    // has been silent for 500 ms. reply is a new[] array. Always true.
    bool cmd(unsigned char*& reply, unsigned& replyLen, bool verbose, const char* fmt, ...)
        __attribute__((format(printf, 5, 6)));
    // True when the first expectedLen bytes arriving within about timeoutMs equal expected
    // (a zero-terminated string). sink may be null.
    bool waitForResponse(unsigned timeoutMs, const unsigned char* expected, unsigned expectedLen,
                         KivoProgress* sink);

    // While set, the console waits above and the fixed pauses of the erase are cut into slices
    // of at most 50 ms with sink->progress called between them, so a caller's event loop keeps
    // turning; the wait still ends at its own deadline. The percent passed carries no news (a
    // sink that shows it should repeat what it showed last) and the answer is not heeded: a
    // console exchange cannot stop half-way. Null (the default) waits in one piece. The sink
    // must outlive its use here.
    void setIdleSink(KivoProgress* sink) { idleSink = sink; }
    // The clock and sleeper of the pauses and slices above (the stream keeps its own waits);
    // the real ones by default. time must outlive its use here.
    void setTimeSource(TimeSource& time) { this->time = &time; }

protected:
    class Reply;
    // The exchange behind llio; the reply body stays in body, so callers that ignore or only peek
    // at the payload need no allocation.
    bool exchange(unsigned code, const iov* vec, unsigned count, Reply& body);
    // readyForRead and a plain pause, sliced for the idle sink when one is set.
    int waitInput(unsigned timeoutMs);
    void idlePause(unsigned ms);
    void pause(std::chrono::microseconds d) { time->sleepFor(d); }

    SerialIo* io;
    SerialIo* ownedIo;
    const char* dev;
    uint16_t tag;
    uint8_t addr0;
    uint8_t addr1;
    KivoProgress* idleSink = nullptr;
    TimeSource* time = &TimeSource::real();
    TimeSource::Clock::time_point lastIdle{}; // of the idle sink's last call

private:
    unsigned idleTick();
    bool consoleByte(unsigned timeoutMs, unsigned char& b);
    bool sendRequest(unsigned code, const iov* vec, unsigned count);
    bool validReply(unsigned code, unsigned char headSum, const Reply& reply) const;
};
