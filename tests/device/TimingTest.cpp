// Time-outs of the link and the console against a pseudo-terminal.
#include "device/KivoIo.h"
#include "serial/SIoUnix.h"
#include "tests/device/Frames.h"
#include "tests/device/PtyPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using frames::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Line {
    PtyPeer peer;
    SIoUnix io;
    KivoIo kivo{io};
    Line() {
        EXPECT_FALSE(peer.path().empty());
        EXPECT_TRUE(
            io.initialize(peer.path().c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    }
};

const Bytes readRequest = frames::request(0x8062, {});
const Bytes readAnswer = frames::readReply(0x8062, {3});

} // namespace

TEST(ReplyTiming, AnswerMustBeginWithinOneAndAQuarterSeconds) {
    struct Case {
        unsigned delayMs;
        bool ok;
    };
    // 50 ms either side of the limit: a loaded machine may miss it once, a wrong limit always.
    const int attempts = 3;
    for (const Case& c : {Case{1200, true}, Case{1300, false}}) {
        SCOPED_TRACE(c.delayMs);
        bool seen = false;
        for (int i = 0; i < attempts && !seen; ++i) {
            Line line;
            unsigned pattern = 0;
            line.peer.run({{readRequest.size(), c.delayMs, readAnswer}}, Clock::now());
            seen = line.kivo.getPattern(pattern) == c.ok && (!c.ok || pattern == 3);
            line.peer.join();
        }
        EXPECT_TRUE(seen);
    }
}

TEST(ReplyTiming, SlowButSteadyReplySucceeds) {
    Line line;
    line.peer.run({{readRequest.size(), 0, readAnswer, 100}});
    unsigned pattern = 0;
    EXPECT_TRUE(line.kivo.getPattern(pattern));
    EXPECT_EQ(pattern, 3u);
}

TEST(ReplyTiming, ReplyCutShortFailsWithinABound) {
    struct Case {
        const char* name;
        Bytes sent;
        unsigned gapMs; // the rest follows after this gap (0: never)
        const char* trace;
    };
    const Bytes head(readAnswer.begin(), readAnswer.begin() + 5);
    const Bytes part(readAnswer.begin(), readAnswer.begin() + 3);
    const Bytes most(readAnswer.begin(), readAnswer.end() - 1);
    const Case cases[] = {
        {"after the header", head, 0, "recevied 0 bytes, expected 6\n"},
        {"inside the header", part, 0, "received 3 bytes (0xab 0x00 0x00 0x00 0x00)\n"},
        {"before the checksum", most, 0, "recevied 5 bytes, expected 6\n"},
        {"gap inside the body", most, 600, "recevied 5 bytes, expected 6\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        std::vector<PtyPeer::Step> steps = {{readRequest.size(), 0, c.sent}};
        if (c.gapMs) steps.push_back({0, c.gapMs, Bytes(readAnswer.end() - 1, readAnswer.end())});
        line.peer.run(steps);
        auto start = Clock::now();
        unsigned char* reply = nullptr;
        unsigned len = 0;
        CaptureStdout();
        EXPECT_FALSE(
            line.kivo.llio(0x8062, static_cast<const unsigned char*>(nullptr), 0, reply, len));
        std::string out = GetCapturedStdout();
        EXPECT_LT(secondsSince(start), 3.0); // bounded, not a hang
        EXPECT_EQ(out, c.trace);
        EXPECT_EQ(reply, nullptr);
        line.peer.join();
    }
}

TEST(ConsoleTiming, SilentLineCostsTwoSilences) {
    Line line;
    auto start = Clock::now();
    unsigned char* reply = nullptr;
    unsigned len = 99;
    CaptureStdout();
    EXPECT_TRUE(line.kivo.cmd(reply, len, true, "DBG %d\r\n", 1));
    EXPECT_EQ(GetCapturedStdout(), "");
    double took = secondsSince(start);
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(len, 0u);
    delete[] reply;
}

TEST(ConsoleTiming, AnswerArrivingAfterTheCommandIsCollected) {
    Line line;
    const std::string cmd = "\r\nfpw 7c 02\r\n";
    line.peer.run({{cmd.size(), 100, Bytes{'o', 'k', '\r', '\n'}, 20}});
    unsigned char* reply = nullptr;
    unsigned len = 0;
    CaptureStdout();
    EXPECT_TRUE(line.kivo.cmd(reply, len, false, "fpw 7c %02d\r\n", 2));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), len), "ok\r\n");
    delete[] reply;
    line.peer.join();
    EXPECT_EQ(std::string(line.peer.received().begin(), line.peer.received().end()), cmd);
}

TEST(ConsoleTiming, WaitForResponseMatchesOnlyAtTheFirstByte) {
    struct Case {
        std::string text;
        bool found;
    };
    for (const Case& c : {Case{"cnd 12\r\n", true}, Case{"\r\ncnd 12\r\n", false}}) {
        SCOPED_TRACE(c.found);
        Line line;
        line.peer.run({{0, 300, Bytes(c.text.begin(), c.text.end())}});
        auto start = Clock::now();
        CaptureStdout();
        EXPECT_EQ(line.kivo.waitForResponse(1000, reinterpret_cast<const unsigned char*>("cnd 12"),
                                            6, nullptr),
                  c.found);
        GetCapturedStdout();
        EXPECT_LT(secondsSince(start), 3.0);
        line.peer.join();
    }
}

TEST(HungUp, ConsoleAndLinkReturnPromptly) {
    Line line;
    line.peer.closeLine();
    auto start = Clock::now();
    unsigned char* reply = nullptr;
    unsigned len = 0;
    CaptureStdout();
    EXPECT_TRUE(line.kivo.cmd(reply, len, true, "cnd 12\r\n"));
    EXPECT_EQ(len, 0u);
    delete[] reply;
    EXPECT_FALSE(line.kivo.waitForResponse(120000, reinterpret_cast<const unsigned char*>("cnd 12"),
                                           6, nullptr));
    EXPECT_FALSE(line.kivo.ping(3));
    GetCapturedStdout();
    EXPECT_LT(secondsSince(start), 10.0);
}
