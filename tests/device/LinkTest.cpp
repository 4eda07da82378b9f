// Link framing, reply validation, register helpers and the console on a scripted stream.
#include "device/LumoIo.h"
#include "device/hexdump.h"
#include "tests/device/Frames.h"
#include "tests/support/ScriptedStream.h"

#include <gtest/gtest.h>

#include <string>

using frames::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Exchange {
    bool ok;
    Bytes payload;
};

Exchange run(LumoIo& link, unsigned code, const Bytes& request) {
    unsigned char* reply = reinterpret_cast<unsigned char*>(&link); // must be cleared
    unsigned len = 1234;
    bool ok = link.llio(code, request.data(), static_cast<unsigned>(request.size()), reply, len);
    Exchange e{ok, Bytes(reply, reply + len)};
    if (!ok) {
        EXPECT_EQ(reply, nullptr);
        EXPECT_EQ(len, 0u);
    }
    delete[] reply;
    return e;
}

// A stream that has hung up: always ready, never delivers.
struct HungUpStream : ScriptedStream {
    int reads = 0;
    int read(unsigned char*, unsigned) override { return ++reads, 0; }
    int readyForRead(unsigned t) override { return ScriptedStream::readyForRead(t), 1; }
};

struct FailingWaitStream : ScriptedStream {
    int readyForRead(unsigned t) override { return ScriptedStream::readyForRead(t), -1; }
};

struct RecordingSink : KivoProgress {
    std::vector<double> reports;
    bool answer = true;
    bool progress(double percent) override { return reports.push_back(percent), answer; }
};

} // namespace

TEST(LinkFrames, WorkedFramesOnTheWire) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed({0xAB, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x80, 0x03, 0x6A});
    Exchange read = run(link, 0x8062, {});
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.payload, Bytes({0x03}));
    EXPECT_EQ(s.written, Bytes({0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x62, 0x80, 0x6F}));

    s.written.clear();
    s.feed({0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x62, 0x00, 0xEE});
    Exchange write = run(link, 0x62, {0x03});
    EXPECT_TRUE(write.ok);
    EXPECT_EQ(write.payload, Bytes({0x62, 0x00})); // the echoed code stays in the payload
    EXPECT_EQ(s.written, Bytes({0xAA, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x00, 0x03, 0xEB}));
    EXPECT_TRUE(s.input.empty());
}

TEST(LinkFrames, GatherListIsConcatenatedAndEmptyEntriesSkipped) {
    ScriptedStream s;
    LumoIo link(s);
    int writes = 0;
    s.onWrite = [&](ScriptedStream&, const unsigned char*, unsigned) { ++writes; };
    const unsigned char a[] = {1, 2}, c[] = {3};
    LumoIo::iov vec[3] = {{a, 2}, {nullptr, 0}, {c, 1}};
    s.feed(frames::writeAck(0x6C));
    unsigned char* reply = nullptr;
    unsigned len = 0;
    EXPECT_TRUE(link.llio(0x6C, vec, 3, reply, len));
    delete[] reply;
    EXPECT_EQ(s.written, frames::request(0x6C, {1, 2, 3}));
    EXPECT_EQ(writes, 1); // one write a frame: one transfer on a USB adapter
}

TEST(LinkFrames, EmptyReadReplyGivesAnEmptyArray) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed(frames::readReply(0x8062, {}));
    unsigned char* reply = nullptr;
    unsigned len = 99;
    const unsigned char* none = nullptr;
    ASSERT_TRUE(link.llio(0x8062, none, 0, reply, len));
    EXPECT_NE(reply, nullptr);
    EXPECT_EQ(len, 0u);
    delete[] reply;
}

TEST(LinkFrames, PayloadTooLongForTheLengthFieldIsRefused) {
    ScriptedStream s;
    LumoIo link(s);
    Bytes big(65531, 0);
    EXPECT_FALSE(run(link, 0x62, big).ok);
    EXPECT_TRUE(s.written.empty());
}

namespace {
struct BadReply {
    const char* name;
    unsigned code;
    Bytes reply;
    std::string trace; // a line the failure must print
};

Bytes withChecksum(Bytes f) {
    f.back() = 0;
    f.pop_back();
    f.push_back(frames::twosComplement(f));
    return f;
}
Bytes patched(Bytes f, size_t at, uint8_t v) {
    f[at] = v;
    return withChecksum(f);
}
} // namespace

TEST(LinkValidation, EveryFieldOfAReplyIsChecked) {
    const Bytes good = frames::readReply(0x8062, {3});
    const Bytes ack = frames::writeAck(0x62);
    Bytes badSum = good;
    badSum.back() ^= 1;
    const BadReply cases[] = {
        {"marker", 0x8062, patched(good, 0, 0xAC), "received 5 bytes (0xac 0x00 0x00 0x06 0x00)"},
        {"tag", 0x8062, patched(good, 1, 0x01), "received 5 bytes (0xab 0x01 0x00 0x06 0x00)"},
        {"tag high", 0x8062, patched(good, 2, 0x01), "received 5 bytes (0xab 0x00 0x01"},
        {"addr1", 0x8062, patched(good, 5, 0x01), "t0(1 ? 0)"},
        {"addr0", 0x8062, patched(good, 6, 0x02), "t1(2 ? 0)"},
        {"read code without bit 15", 0x8062, patched(good, 8, 0x00), "t2(0x0062 ? 0x8062)"},
        {"checksum", 0x8062, badSum, "(rchk 1)"},
        {"ack with the code in the code position", 0x62, frames::frame(0xAB, 0x0062, {0x62, 0x00}),
         "t2(0x0062 ? 0x0062)"},
        {"ack echoing another code", 0x62, frames::writeAck(0x63), "t2(0x0063 ? 0x0062)"},
        {"ack without 0xFFFF", 0x62, patched(ack, 7, 0xFE), "t2(0x0062 ? 0x0062)"},
        {"short header", 0x8062, {0xAB, 0x00, 0x00}, "received 3 bytes (0xab 0x00 0x00 0x00 0x00)"},
        {"short body",
         0x8062,
         {0xAB, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00},
         "recevied 2 bytes, expected 6"},
    };
    for (const BadReply& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedStream s;
        LumoIo link(s);
        s.feed(c.reply);
        CaptureStdout();
        Exchange e = run(link, c.code, c.code & 0x8000 ? Bytes{} : Bytes{3});
        std::string out = GetCapturedStdout();
        EXPECT_FALSE(e.ok);
        EXPECT_NE(out.find(c.trace), std::string::npos) << out;
    }
}

TEST(LinkValidation, RepliesBelowTheMinimumLengthFailWithoutOverreading) {
    struct Short {
        unsigned code;
        Bytes reply;
    };
    // L (byte 3) counts the bytes after the length field; below 5 for a read or 7 for a write
    // acknowledgement is never valid. Most of these pass every other check (sum 0, fields equal).
    const Short cases[] = {
        {0x8062, {0xAB, 0x00, 0x00, 0x00, 0x00}},
        {0x8062, {0xAB, 0x00, 0x00, 0x01, 0x00, 0x54}},
        {0x80D1, {0xAB, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0xD1, 0x80}},
        {0x0062, {0xAB, 0x00, 0x00, 0x00, 0x00}},
        {0x0052, {0xAB, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x52}},
        {0x0051, {0xAB, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x51, 0x00}},
    };
    for (const Short& c : cases) {
        SCOPED_TRACE(c.reply[3]);
        const Bytes sentinel = {0x55, 0x66};
        ScriptedStream s;
        LumoIo link(s);
        s.feed(c.reply);
        s.feed(sentinel);
        CaptureStdout();
        Exchange e = run(link, c.code, c.code & 0x8000 ? Bytes{} : Bytes{3});
        GetCapturedStdout();
        EXPECT_FALSE(e.ok);
        EXPECT_EQ(Bytes(s.input.begin(), s.input.end()), sentinel); // nothing read past L
    }
}

TEST(LinkValidation, NoAnswerMeansFiveQuarterSecondWaits) {
    ScriptedStream s;
    LumoIo link(s);
    CaptureStdout();
    EXPECT_FALSE(run(link, 0x8062, {}).ok);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(s.readyTimeouts, std::vector<unsigned>(5, 250));
}

TEST(LinkValidation, WaitErrorEndsAtOnce) {
    FailingWaitStream s;
    LumoIo link(s);
    EXPECT_FALSE(run(link, 0x8062, {}).ok);
    EXPECT_EQ(s.readyCalls, 1);
}

TEST(LinkValidation, LeftoverBytesAreReadAsTheNextReply) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed({0x00}); // stray byte ahead of a good reply
    s.feed(frames::readReply(0x8062, {3}));
    CaptureStdout();
    EXPECT_FALSE(run(link, 0x8062, {}).ok);
    GetCapturedStdout();
}

TEST(LinkRegisters, IoReadBuildsBigEndianValuesUpToFourBytes) {
    struct Case {
        Bytes payload;
        bool ok;
        unsigned value;
        const char* trace;
    };
    const Case cases[] = {
        {{}, true, 0, ""},
        {{0x7F}, true, 0x7F, ""},
        {{0x01, 0x02, 0x03, 0x04}, true, 0x01020304, ""},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, true, 0xDEAD, "hmm, (rv 1) (rlen 5)\n"},
    };
    for (const Case& c : cases) {
        ScriptedStream s;
        LumoIo link(s);
        s.feed(frames::readReply(0xF858, c.payload));
        unsigned value = 0xDEAD;
        CaptureStdout();
        EXPECT_EQ(link.ioRead(0xF858, 0x10, value), c.ok);
        EXPECT_EQ(GetCapturedStdout(), c.trace);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(s.written, frames::request(0xF858, {0x10}));
    }
    ScriptedStream silent;
    LumoIo link(silent);
    unsigned value = 7;
    CaptureStdout();
    EXPECT_FALSE(link.ioRead(0x58, 1, value)); // bit 15 is added
    EXPECT_EQ(GetCapturedStdout(), "hmm, (rv 0) (rlen 0)\n");
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(silent.written, frames::request(0x8058, {0x01}));
}

TEST(LinkRegisters, IoRead1TakesOnlyASingleByte) {
    const Bytes payloads[] = {{}, {0x05}, {0x05, 0x06}};
    for (const Bytes& p : payloads) {
        ScriptedStream s;
        LumoIo link(s);
        s.feed(frames::readReply(0x8064, p));
        unsigned char value = 0xEE;
        EXPECT_TRUE(link.ioRead1(0x64, value));
        EXPECT_EQ(value, p.size() == 1 ? 0x05 : 0xEE);
        EXPECT_EQ(s.written, frames::request(0x8064, {}));
    }
}

TEST(LinkRegisters, IoWrite1SendsOneByte) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed(frames::writeAck(0x61));
    EXPECT_TRUE(link.ioWrite1(0x61, 0x10));
    EXPECT_EQ(s.written, frames::request(0x61, {0x10}));
    EXPECT_FALSE(link.ioWrite1(0x61, 0x10)); // no answer this time
}

TEST(HexDump, LinesAndPadding) {
    const char text[] = "cnd 12\r\n";
    CaptureStdout();
    hexdump(0, reinterpret_cast<const unsigned char*>(text), 8, 16);
    EXPECT_EQ(GetCapturedStdout(),
              "0x00000000: 63 6e 64 20 31 32 0d 0a " + std::string(24, ' ') + ": cnd 12..\n");
    unsigned char bytes[17];
    for (unsigned i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(0x41 + i);
    CaptureStdout();
    hexdump(0x10, bytes, 17, 16);
    EXPECT_EQ(GetCapturedStdout(), "0x00000010: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 "
                                   ": ABCDEFGHIJKLMNOP\n"
                                   "0x00000020: 51 " +
                                       std::string(45, ' ') + ": Q\n");
    CaptureStdout();
    hexdump(0, bytes, 0, 16);
    hexdump(0, bytes, 4, 0);
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(Console, CmdDrainsThenCollectsTheAnswer) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed({'o', 'l', 'd'}); // stale output, dropped by the drain
    s.onWrite = [](ScriptedStream& st, const unsigned char* b, unsigned n) {
        if (std::string(reinterpret_cast<const char*>(b), n) == "fpw 7c 03\r\n")
            st.feed({'o', 'k', '\r', '\n'});
    };
    unsigned char* reply = nullptr;
    unsigned len = 0;
    CaptureStdout();
    EXPECT_TRUE(link.cmd(reply, len, true, "fpw 7c %02d\r\n", 3));
    std::string out = GetCapturedStdout();
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), len), "ok\r\n");
    delete[] reply;
    EXPECT_EQ(std::string(s.written.begin(), s.written.end()), "\r\nfpw 7c 03\r\n");
    EXPECT_EQ(out.rfind("rx 4 bytes\n0x00000000: 6f 6b 0d 0a ", 0), 0u) << out;
    for (unsigned t : s.readyTimeouts) EXPECT_EQ(t, 500u);

    CaptureStdout();
    EXPECT_TRUE(link.cmd(reply, len, true, "DBG %d\r\n", 0)); // silent: nothing traced
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(len, 0u);
    delete[] reply;
}

TEST(Console, WaitForResponseIsAnchoredAtTheFirstByte) {
    struct Case {
        std::string input;
        bool found;
    };
    const Case cases[] = {{"cnd 12\r\n", true}, {"cnd 12", true},   {"\r\ncnd 12\r\n", false},
                          {"cnd 1", false},     {"xcnd 12", false}, {"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        ScriptedStream s;
        LumoIo link(s);
        s.feed(Bytes(c.input.begin(), c.input.end()));
        RecordingSink sink;
        CaptureStdout();
        bool found =
            link.waitForResponse(1000, reinterpret_cast<const unsigned char*>("cnd 12"), 6, &sink);
        EXPECT_EQ(GetCapturedStdout(), "waitForResponse: (cnd 12) 1000\n");
        EXPECT_EQ(found, c.found);
        ASSERT_FALSE(sink.reports.empty());
        EXPECT_EQ(sink.reports.front(), 0.0);
        if (c.found)
            EXPECT_EQ(sink.reports.back(), 100.0);
        else
            EXPECT_EQ(sink.reports, std::vector<double>({0.0, 25.0, 50.0, 75.0}));
        EXPECT_TRUE(s.input.empty());
    }
}

TEST(Console, WaitForResponseStopsWhenTheSinkSaysSo) {
    ScriptedStream s;
    LumoIo link(s);
    s.feed({'c', 'n', 'd', ' ', '1', '2'});
    RecordingSink sink;
    sink.answer = false;
    CaptureStdout();
    EXPECT_FALSE(
        link.waitForResponse(120000, reinterpret_cast<const unsigned char*>("cnd 12"), 6, &sink));
    GetCapturedStdout();
    EXPECT_EQ(sink.reports, std::vector<double>({0.0}));
    EXPECT_EQ(s.input.size(), 6u); // nothing read once stopped
}

TEST(HungUpLine, EveryLoopEndsAtTheFirstEmptyRead) {
    HungUpStream s;
    LumoIo link(s);
    unsigned char* reply = nullptr;
    unsigned len = 0;
    CaptureStdout();
    EXPECT_TRUE(link.cmd(reply, len, true, "cnd 12\r\n"));
    EXPECT_EQ(len, 0u);
    delete[] reply;
    EXPECT_EQ(s.reads, 2); // one in the drain, one in the collection

    s.reads = 0;
    EXPECT_FALSE(
        link.waitForResponse(120000, reinterpret_cast<const unsigned char*>("cnd 12"), 6, nullptr));
    EXPECT_EQ(s.reads, 1);

    s.reads = 0;
    EXPECT_FALSE(run(link, 0x8062, {}).ok);
    EXPECT_EQ(GetCapturedStdout().find("received 0 bytes (0x00 0x00 0x00 0x00 0x00)\n") !=
                  std::string::npos,
              true);
    EXPECT_EQ(s.reads, 1);
}

TEST(LinkSetup, OnlyTheByNameObjectOpensAStream) {
    LumoIo owned("/nonexistent/kivo-tty");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(owned.initialize());
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "LumoIo: initializing(/nonexistent/kivo-tty): failed\n"),
              std::string::npos);
    ScriptedStream s;
    LumoIo onStream(s);
    EXPECT_TRUE(onStream.initialize());
    EXPECT_TRUE(s.written.empty());
    LumoIo unnamed(static_cast<const char*>(nullptr));
    EXPECT_TRUE(unnamed.initialize());
}

TEST(LinkSetup, MissingBuffersSendNothing) {
    ScriptedStream s;
    LumoIo link(s);
    LumoIo::iov holey[1] = {{nullptr, 4}};
    unsigned char* reply = nullptr;
    unsigned len = 0;
    EXPECT_FALSE(link.llio(0x62, holey, 1, reply, len));
    EXPECT_FALSE(link.llio(0x62, static_cast<const unsigned char*>(nullptr), 3, reply, len));
    EXPECT_TRUE(s.written.empty());
}
