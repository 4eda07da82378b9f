#include "device/LumoIo.h"

#include "device/LumoReply.h"
#include "device/hexdump.h"
#include "serial/SerialIo.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned char RequestMarker = 0xAA;
constexpr unsigned char ReplyMarker = 0xAB;
constexpr unsigned RequestHeaderLen = 9;
constexpr unsigned ReplyHeaderLen = 5;
constexpr unsigned LengthOverhead = 5; // address bytes, code word, checksum
constexpr unsigned MaxPayload = 0xFFFF - LengthOverhead;
constexpr unsigned ReadBit = 0x8000;
constexpr unsigned WriteAckCode = 0xFFFF;
constexpr unsigned MinReadBody = 5;
constexpr unsigned MinWriteBody = 7;
constexpr size_t SmallFrame = 512; // room for a flash page request (270 bytes)

constexpr unsigned ReplyWaitMs = 250;
constexpr unsigned ReplyWaitRounds = 5; // the reply must begin within 1.25 s
constexpr unsigned ByteGapMs = 250;     // once begun, no gap may be longer than this
constexpr unsigned ConsoleSilenceMs = 500;
constexpr unsigned ResponsePollMs = 250;
// Bounds a console that never falls silent (about 6 s of continuous text at 115200 bit/s).
constexpr unsigned MaxConsoleBytes = 65536;
constexpr unsigned IdleSliceMs = 50;
constexpr double IdleNoNews = 0.0;

using Clock = TimeSource::Clock;

// Whole milliseconds from now until end, rounded up so a sliced wait never ends early.
unsigned msLeft(Clock::time_point now, Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    return left > 0 ? static_cast<unsigned>(left) : 0;
}

unsigned word(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

unsigned char sum8(const unsigned char* p, unsigned n) {
    unsigned char s = 0;
    for (unsigned i = 0; i < n; ++i) s = static_cast<unsigned char>(s + p[i]);
    return s;
}

// Reads up to n bytes, taking what has arrived after each readiness wait, so a reply that stops
// short costs at most one gap and a blocking read never waits for a byte that is not there.
// ready: the caller has just seen input waiting, so the first wait is skipped.
unsigned readPaced(SerialIo& io, unsigned char* buf, unsigned n, bool ready = false) {
    unsigned got = 0;
    for (; got < n && (ready || io.readyForRead(ByteGapMs) == 1); ready = false) {
        const int r = io.readAvailable(buf + got, n - got);
        if (r <= 0) break;
        got += static_cast<unsigned>(r);
    }
    return got;
}

} // namespace

// Calls the sink when a slice's time has passed since its last call, also across one wait's end
// and the next one's start, and while input trickles in. Gives the ms until the next call is due.
unsigned LumoIo::idleTick() {
    const std::chrono::milliseconds every(IdleSliceMs);
    if (time->now() - lastIdle >= every) {
        lastIdle = time->now();
        idleSink->progress(IdleNoNews);
    }
    return std::max(1u, msLeft(time->now(), lastIdle + every));
}

// The slices run against a deadline, so time spent in the sink does not lengthen the wait. The
// budget of requested slice time ends it too, for a stream that answers a time-out at once.
int LumoIo::waitInput(unsigned timeoutMs) {
    if (!idleSink || timeoutMs == 0) return io->readyForRead(timeoutMs);
    const Clock::time_point end = time->now() + std::chrono::milliseconds(timeoutMs);
    for (unsigned budget = timeoutMs;;) {
        // At least 1 ms: a time-out of 0 means none at all, and input that came while the sink
        // ran before the deadline still counts.
        const unsigned tick = idleTick();
        const unsigned slice = std::max(1u, std::min({tick, msLeft(time->now(), end), budget}));
        const int ready = io->readyForRead(slice);
        budget -= std::min(budget, slice);
        if (ready != 0 || budget == 0 || msLeft(time->now(), end) == 0) return ready;
    }
}

void LumoIo::idlePause(unsigned ms) {
    if (!idleSink) {
        pause(std::chrono::milliseconds(ms));
        return;
    }
    const Clock::time_point end = time->now() + std::chrono::milliseconds(ms);
    for (unsigned next = idleTick(), left = msLeft(time->now(), end); left;
         left = msLeft(time->now(), end)) {
        pause(std::chrono::milliseconds(std::min(next, left)));
        next = idleTick();
    }
}

// One console byte if it arrives within timeoutMs; a hung-up line (ready but empty) ends it.
bool LumoIo::consoleByte(unsigned timeoutMs, unsigned char& b) {
    return waitInput(timeoutMs) == 1 && io->read(&b, 1) == 1;
}

LumoIo::LumoIo(SerialIo& s) : io(&s), ownedIo(nullptr), dev(nullptr), tag(0), addr0(0), addr1(0) {}

LumoIo::LumoIo(const char* dev)
    : io(SerialIo::PlatformSIo()), ownedIo(io), dev(dev), tag(0), addr0(0), addr1(0) {}

LumoIo::~LumoIo() {
    delete ownedIo;
}

bool LumoIo::initialize() {
    if (!ownedIo || !dev) return true;
    bool ok = ownedIo->initialize(dev, SerialIo::Baud115200, 8, SerialIo::ParityNone, 1);
    if (!ok) std::fprintf(stderr, "LumoIo: initializing(%s): failed\n", dev);
    return ok;
}

bool LumoIo::exchange(unsigned code, const iov* vec, unsigned count, Reply& reply) {
    if (!vec) count = 0;
    reply.reset(0);
    if (!sendRequest(code, vec, count)) return false;

    int ready = 0;
    for (unsigned round = 0; round < ReplyWaitRounds && ready == 0; ++round)
        ready = io->readyForRead(ReplyWaitMs);
    if (ready != 1) return false;

    unsigned char head[ReplyHeaderLen] = {0, 0, 0, 0, 0};
    unsigned got = readPaced(*io, head, ReplyHeaderLen, true);
    if (got != ReplyHeaderLen || head[0] != ReplyMarker || word(head + 1) != tag) {
        std::printf("received %d bytes (0x%02x 0x%02x 0x%02x 0x%02x 0x%02x)\n", got, head[0],
                    head[1], head[2], head[3], head[4]);
        return false;
    }
    const unsigned bodyLen = word(head + 3);
    unsigned char* body = reply.reset(bodyLen);
    got = readPaced(*io, body, bodyLen);
    if (got != bodyLen) {
        std::printf("recevied %d bytes, expected %d\n", got, bodyLen);
        reply.reset(0);
        return false;
    }
    if (validReply(code, sum8(head, ReplyHeaderLen), reply)) return true;
    reply.reset(0);
    return false;
}

bool LumoIo::sendRequest(unsigned code, const iov* vec, unsigned count) {
    unsigned long n = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (vec[i].len && !vec[i].data) return false;
        n += vec[i].len;
    }
    if (n > MaxPayload) return false; // the length field cannot express it

    const unsigned length = static_cast<unsigned>(n) + LengthOverhead;
    const unsigned char header[RequestHeaderLen] = {RequestMarker,
                                                    static_cast<unsigned char>(tag),
                                                    static_cast<unsigned char>(tag >> 8),
                                                    static_cast<unsigned char>(length),
                                                    static_cast<unsigned char>(length >> 8),
                                                    addr1,
                                                    addr0,
                                                    static_cast<unsigned char>(code),
                                                    static_cast<unsigned char>(code >> 8)};
    // The frame goes out in one write: a call per piece costs a system call and, on a USB
    // adapter, a transfer of its own each, with gaps on the line between them. Frames up to a
    // flash page are built on the stack, so the page path allocates nothing.
    const size_t size = RequestHeaderLen + n + 1;
    unsigned char small[SmallFrame];
    std::vector<unsigned char> big;
    unsigned char* frame = small;
    if (size > SmallFrame) {
        big.resize(size);
        frame = big.data();
    }
    std::memcpy(frame, header, RequestHeaderLen);
    size_t at = RequestHeaderLen;
    for (unsigned i = 0; i < count; ++i) {
        if (vec[i].len) std::memcpy(frame + at, vec[i].data, vec[i].len);
        at += vec[i].len;
    }
    frame[at] = static_cast<unsigned char>(0x100 - sum8(frame, static_cast<unsigned>(at)));
    io->write(frame, static_cast<unsigned>(size));
    return true;
}

bool LumoIo::validReply(unsigned code, unsigned char headSum, const Reply& reply) const {
    const unsigned char* body = reply.body();
    const unsigned bodyLen = reply.bodyLen();
    const bool isRead = (code & ReadBit) != 0;
    const unsigned wanted = code & 0xFFFF;
    const unsigned char rchk = static_cast<unsigned char>(headSum + sum8(body, bodyLen));
    // A short body reads as zeros beyond its end (the reply keeps room for every field).
    const unsigned received = isRead ? word(body + 2) : word(body + 4);
    const bool codeOk = isRead ? word(body + 2) == wanted
                               : word(body + 2) == WriteAckCode && word(body + 4) == wanted;
    const bool longEnough = bodyLen >= (isRead ? MinReadBody : MinWriteBody);
    if (longEnough && rchk == 0 && body[0] == addr1 && body[1] == addr0 && codeOk) return true;

    hexdump(ReplyHeaderLen, body, bodyLen, 16);
    std::printf("(rchk %d)\n", rchk);
    std::printf("t0(%d ? %d)\n", body[0], addr1);
    std::printf("t1(%d ? %d)\n", body[1], addr0);
    std::printf("t2(0x%04x ? 0x%04x)\n", received, code);
    return false;
}

bool LumoIo::llio(unsigned code, const iov* vec, unsigned count, unsigned char*& reply,
                  unsigned& replyLen) {
    reply = nullptr;
    replyLen = 0;
    Reply body;
    if (!exchange(code, vec, count, body)) return false;
    replyLen = body.payloadLen();
    reply = new unsigned char[replyLen];
    if (replyLen) std::memcpy(reply, body.payload(), replyLen);
    return true;
}

bool LumoIo::llio(unsigned code, const unsigned char* data, unsigned len, unsigned char*& reply,
                  unsigned& replyLen) {
    const iov one = {data, len};
    return llio(code, &one, 1, reply, replyLen);
}

bool LumoIo::ioWrite1(unsigned code, unsigned char value) {
    const iov one = {&value, 1};
    Reply body;
    return exchange(code, &one, 1, body);
}

bool LumoIo::ioRead1(unsigned code, unsigned char& value) {
    Reply body;
    if (!exchange(code | ReadBit, nullptr, 0, body)) return false;
    if (body.payloadLen() == 1) value = body.payload()[0];
    return true;
}

bool LumoIo::ioRead(unsigned code, unsigned char selector, unsigned& value) {
    const iov one = {&selector, 1};
    Reply body;
    const bool ok = exchange(code | ReadBit, &one, 1, body);
    const unsigned len = ok ? body.payloadLen() : 0;
    if (!ok || len > sizeof(unsigned)) {
        std::printf("hmm, (rv %d) (rlen %d)\n", ok ? 1 : 0, len);
        return ok;
    }
    unsigned v = 0;
    for (unsigned i = 0; i < len; ++i) v = (v << 8) | body.payload()[i];
    value = v;
    return true;
}

bool LumoIo::cmd(unsigned char*& reply, unsigned& replyLen, bool verbose, const char* fmt, ...) {
    io->printf("\r\n");
    unsigned char b;
    for (unsigned dropped = 0; dropped < MaxConsoleBytes && consoleByte(ConsoleSilenceMs, b);
         ++dropped) {
    }
    reply = nullptr;
    replyLen = 0;

    va_list args;
    va_start(args, fmt);
    io->vprintf(fmt, args);
    va_end(args);

    std::vector<unsigned char> answer;
    while (answer.size() < MaxConsoleBytes && consoleByte(ConsoleSilenceMs, b)) answer.push_back(b);

    replyLen = static_cast<unsigned>(answer.size());
    reply = new unsigned char[replyLen];
    if (replyLen) std::memcpy(reply, answer.data(), replyLen);
    if (verbose && replyLen) {
        std::printf("rx %d bytes\n", replyLen);
        hexdump(0, reply, replyLen, 16);
    }
    return true;
}

bool LumoIo::waitForResponse(unsigned timeoutMs, const unsigned char* expected,
                             unsigned expectedLen, KivoProgress* sink) {
    if (!expected) expectedLen = 0;
    std::printf("%s: (%.*s) %d\n", "waitForResponse", static_cast<int>(expectedLen),
                expected ? reinterpret_cast<const char*>(expected) : "", timeoutMs);
    // The match is anchored at the first byte, so only the first expectedLen bytes matter.
    std::vector<unsigned char> head;
    head.reserve(expectedLen);
    unsigned received = 0;
    bool going = true, found = false, hungUp = false;
    for (unsigned elapsed = 0; elapsed < timeoutMs && going && !found && !hungUp;
         elapsed += ResponsePollMs) {
        if (sink) going = sink->progress(elapsed * 100.0 / timeoutMs);
        unsigned char b;
        while (going && received < MaxConsoleBytes) {
            int ready = waitInput(ResponsePollMs);
            if (ready != 1) break;
            if (io->read(&b, 1) != 1) {
                hungUp = true;
                break;
            }
            if (head.size() < expectedLen) head.push_back(b);
            ++received;
            if (head.size() == expectedLen &&
                (expectedLen == 0 || std::memcmp(head.data(), expected, expectedLen) == 0)) {
                if (sink) going = sink->progress(100.0);
                found = true;
            }
        }
        if (received >= MaxConsoleBytes) break;
    }
    return found;
}
