// Link framing, reply validation, register reads and the link's waits on a scripted stream.
#include "tests/device/Frames.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

// One llio exchange; a failure must leave the reply null and its length 0.
bool exchange(LumoIo& link, unsigned code, const Bytes& req, Bytes* payload = nullptr) {
    unsigned char* reply = reinterpret_cast<unsigned char*>(&link);
    unsigned len = 1234;
    const bool ok = link.llio(code, req.data(), unsigned(req.size()), reply, len);
    EXPECT_TRUE(ok || (reply == nullptr && len == 0));
    if (payload) payload->assign(reply, reply + len);
    delete[] reply;
    return ok;
}

Bytes patched(Bytes f, size_t at, uint8_t v) {
    f[at] = v;
    f.pop_back();
    return summed(f);
}

} // namespace

TEST(Link, WorkedFramesOnTheWire) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed({0xAB, 0, 0, 6, 0, 0, 0, 0x62, 0x80, 0x03, 0x6A});
    s.feed({0xAB, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0x62, 0, 0xEE});
    Bytes read, write;
    EXPECT_TRUE(exchange(link, 0x8062, {}, &read) && exchange(link, 0x62, {3}, &write));
    EXPECT_TRUE(read == Bytes{3} && write == Bytes({0x62, 0})); // the code stays in the payload
    EXPECT_EQ(s.written, Bytes({0xAA, 0, 0, 5, 0, 0, 0, 0x62, 0x80, 0x6F, //
                                0xAA, 0, 0, 6, 0, 0, 0, 0x62, 0,    0x03, 0xEB}));
}

TEST(Link, EveryFieldOfAReplyIsChecked) {
    const Bytes good = answer(0x8062, {3});
    // code, reply, whole (then nothing past it may be read), a line the failure prints
    const std::tuple<unsigned, Bytes, bool, const char*> cases[] = {
        {0x8062, patched(good, 0, 0xAC), false, "received 5 bytes (0xac 0x00 0x00 0x06 0x00)"},
        {0x8062, patched(good, 1, 1), false, "received 5 bytes (0xab 0x01 0x00 0x06 0x00)"},
        {0x8062, patched(good, 2, 1), false, "received 5 bytes (0xab 0x00 0x01 0x06 0x00)"},
        {0x8062, patched(good, 5, 1), true, "t0(1 ? 0)"},
        {0x8062, patched(good, 6, 2), true, "t1(2 ? 0)"},
        {0x8062, patched(good, 8, 0), true, "t2(0x0062 ? 0x8062)"},
        {0x8062, Bytes(good.begin(), good.end() - 1) + Bytes{0x6B}, true, "(rchk 1)"},
        {0x62, answer(0x62, {0x62, 0}), true, "t2(0x0062 ? 0x0062)"},
        {0x62, ack(0x63), true, "t2(0x0063 ? 0x0062)"},
        // Bodies shorter than a read (5) or an acknowledgement (7); missing fields read as 0.
        {0x80D1, {0xAB, 0, 0, 4, 0, 0, 0, 0xD1, 0x80}, true, "(rchk 0)"},
        {0x62, {0xAB, 0, 0, 0, 0}, true, "t2(0x0000 ? 0x0062)"},
        {0x51, {0xAB, 0, 0, 6, 0, 0, 0, 0xFF, 0xFF, 0x51, 0}, true, "(rchk 0)"},
        // Replies that stop short, start with a stray byte, or never come (five 250 ms waits).
        {0x8062, {0xAB, 0, 0}, false, "received 3 bytes (0xab 0x00 0x00 0x00 0x00)"},
        {0x8062, {0xAB, 0, 0, 6, 0, 0, 0}, false, "recevied 2 bytes, expected 6"},
        {0x8062, Bytes{0} + good, false, "received 5 bytes (0x00 0xab 0x00 0x00 0x06)"},
        {0x8062, {0xAB, 0, 0, 0xFF, 0xFF}, false, "recevied 0 bytes, expected 65535"},
        {0x8062, {}, false, ""},
    };
    for (const auto& [code, reply, whole, trace] : cases) {
        SCOPED_TRACE(trace);
        ScriptedStream s;
        LumoIo link(s);
        s.feed(reply);
        if (whole) s.feed({0x55, 0x66});
        CaptureStdout();
        EXPECT_FALSE(exchange(link, code, code & 0x8000 ? Bytes{} : Bytes{3}));
        const std::string out = GetCapturedStdout();
        EXPECT_TRUE(*trace ? out.find(trace) != std::string::npos : out.empty()) << out;
        EXPECT_TRUE(!whole || Bytes(s.input.begin(), s.input.end()) == Bytes({0x55, 0x66}));
        EXPECT_TRUE(!reply.empty() || s.readyTimeouts == std::vector<unsigned>(5, 250));
    }
}

TEST(Link, RegisterReadsTakeOnlyPayloadsThatFit) {
    // answered, payload, ioRead's value (0xDEAD: left as it was), its trace
    const std::tuple<bool, Bytes, unsigned, const char*> cases[] = {
        {true, {}, 0, ""},
        {true, {0x7F}, 0x7F, ""},
        {true, {1, 2, 3, 4}, 0x01020304, ""},
        {true, {1, 2, 3, 4, 5}, 0xDEAD, "hmm, (rv 1) (rlen 5)\n"},
        {false, {}, 0xDEAD, "hmm, (rv 0) (rlen 0)\n"}};
    const Bytes wire = request(0x8058, {0x10}) + request(0x8064, {});
    for (const auto& [answered, payload, expected, trace] : cases) {
        SCOPED_TRACE(payload.size());
        ScriptedStream s;
        LumoIo link(s);
        if (answered) s.feed(answer(0x8058, payload));
        unsigned value = 0xDEAD;
        unsigned char byte = 0xEE;
        CaptureStdout();
        EXPECT_EQ(link.ioRead(0x58, 0x10, value), answered); // bit 15 is added
        EXPECT_EQ(GetCapturedStdout(), trace);
        EXPECT_EQ(value, expected);
        s.feed(answer(0x8064, payload));
        EXPECT_TRUE(link.ioRead1(0x64, byte));
        EXPECT_EQ(byte, payload.size() == 1 ? 0x7F : 0xEE);
        EXPECT_EQ(s.written, wire);
    }
}

// The waits below run in virtual time: the peer's bytes arrive at set times, and the link's waits
// and pauses move its clock.
namespace {

void silentCmd(KivoIo& kivo) {
    unsigned char* reply = nullptr;
    unsigned len = 99;
    CaptureStdout();
    kivo.cmd(reply, len, true, "DBG %d\r\n", 1);
    EXPECT_EQ(GetCapturedStdout(), ""); // nothing traced, though verbose
    EXPECT_EQ(len, 0u);
    delete[] reply;
}

bool waitForCnd12(KivoIo& kivo, unsigned timeoutMs) {
    return kivo.waitForResponse(timeoutMs, (const unsigned char*)"cnd 12", 6, nullptr);
}

} // namespace

TEST(Link, ReplyMustBeginWithinOneAndAQuarterSecondsWithoutGaps) {
    // ms until the reply begins, ms between its header and its body, result, ms taken
    const std::tuple<unsigned, unsigned, bool, long long> cases[] = {
        {1200, 0, true, 1200}, {1300, 0, false, 1250}, {0, 240, true, 240}, {0, 260, false, 250}};
    const Bytes reply = answer(0x8062, {3});
    for (const auto& [first, gap, ok, took] : cases) {
        SCOPED_TRACE(std::to_string(first) + " " + std::to_string(gap));
        VirtualPeer s;
        LumoIo link(s);
        s.feedAfter(first, Bytes(reply.begin(), reply.begin() + 5));
        s.feedAfter(first + gap, Bytes(reply.begin() + 5, reply.end()));
        const auto start = s.time.now();
        EXPECT_EQ(exchange(link, 0x8062, {}), ok);
        EXPECT_EQ(s.time.msSince(start), took);
    }
}

TEST(Link, ConsoleWaitsAndAHungUpLine) {
    // The answer counts only at the first byte that arrives, and only within the wait.
    // said, ms before it comes, found
    const std::tuple<const char*, unsigned, bool> waits[] = {
        {"cnd 12\r\n", 0, true}, {"\r\ncnd 12\r\n", 0, false}, {"xcnd 12", 0, false},
        {"cnd 1", 0, false},     {"cnd 12\r\n", 900, true},    {"cnd 12\r\n", 1100, false}};
    for (const auto& [said, after, found] : waits) {
        SCOPED_TRACE(said + std::to_string(after));
        VirtualPeer line;
        KivoIo k(line);
        line.feedAfter(after, Bytes(said, said + strlen(said)));
        const auto start = line.time.now();
        EXPECT_EQ(waitForCnd12(k, 1000), found);
        EXPECT_LE(line.time.msSince(start), 1250);
    }

    // A line that never falls quiet: the console takes at most 64 KiB for each answer.
    ScriptedStream flood;
    flood.feed(Bytes(200000, 'x'));
    KivoIo noisy(flood);
    unsigned char* answer = nullptr;
    unsigned len = 0;
    noisy.cmd(answer, len, false, "cnd 12\r\n");
    delete[] answer;
    EXPECT_EQ(len, 65536u);
    EXPECT_FALSE(waitForCnd12(noisy, 120000));
    EXPECT_EQ(flood.input.size(), 200000u - 3 * 65536);

    VirtualPeer s;
    KivoIo kivo(s);
    kivo.setTimeSource(s.time);
    s.hungUp = true; // ready at once, and nothing to read
    const auto start = s.time.now();
    silentCmd(kivo);
    const size_t calls = s.readyTimeouts.size();
    EXPECT_FALSE(waitForCnd12(kivo, 120000));
    EXPECT_EQ(s.readyTimeouts.size(), calls + 1) << "the first empty read ends the wait";
    EXPECT_FALSE(kivo.ping(3));
    EXPECT_LT(s.time.msSince(start), 1000);
}

TEST(Link, IdleSinkSlicesWaitsThatKeepTheirLength) {
    const std::function<void(KivoIo&)> waits[] = {
        silentCmd, [](KivoIo& kivo) { EXPECT_FALSE(waitForCnd12(kivo, 1000)); }};
    // A sink that takes 40 ms a call: were its time added to the slices, a wait would take 1.8 s.
    for (const auto& wait : waits) {
        VirtualPeer s;
        KivoIo kivo(s);
        kivo.setTimeSource(s.time);
        Sink sink(0); // its false is not heeded: the wait goes on
        sink.time = &s.time;
        kivo.setIdleSink(&sink);
        const auto start = s.time.now();
        wait(kivo);
        EXPECT_GE(sink.reports.size(), 5u);
        EXPECT_LE(*std::max_element(s.readyTimeouts.begin(), s.readyTimeouts.end()), 50u);
        EXPECT_GE(s.time.msSince(start), 1000);
        EXPECT_LT(s.time.msSince(start), 1050);
    }
    // A stream that reports each time-out at once, under a clock that stands still: the slices
    // end on their budget, and the sink is called by the clock, not once a slice.
    ScriptedStream instant;
    VirtualTime still;
    KivoIo kivo(instant);
    kivo.setTimeSource(still);
    Sink sink;
    kivo.setIdleSink(&sink);
    silentCmd(kivo);
    EXPECT_EQ(std::accumulate(instant.readyTimeouts.begin(), instant.readyTimeouts.end(), 0u),
              1000u); // ten 50 ms slices a silence
    EXPECT_LE(sink.reports.size(), 2u);
}
