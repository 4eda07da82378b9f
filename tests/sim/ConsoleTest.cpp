#include "tests/sim/SimLine.h"

#include <gtest/gtest.h>

namespace {

const Bytes kCnd12 = {'c', 'n', 'd', ' ', '1', '2', '\r', '\n'};

TEST(SimConsole, EraseSequenceSelectsErasesAndConfirms) {
    KivoSim::Options o;
    o.eraseDelayMs = 150;
    SimFixture f(o);
    ASSERT_TRUE(f.started);
    f.line->send("\r\n\r\nDBG 1\r\n\r\nfpw 7c 07\r\n");
    ASSERT_TRUE(f.settle());
    EXPECT_EQ(f.line->drain(50), Bytes()); // no echo by default
    EXPECT_TRUE(f.sim.debugMode());
    EXPECT_EQ(f.sim.selectedSlot(), 7);
    f.line->send("\r\ncnd 12\r\n");
    EXPECT_EQ(f.line->read(8, 50), Bytes()) << "answered before the erase delay";
    EXPECT_EQ(f.line->read(8, 2000), kCnd12);
    f.line->send("\r\n\r\nDBG 0\r\n");
    ASSERT_TRUE(f.settle());
    EXPECT_FALSE(f.sim.debugMode());
    const KivoSim::Counters c = f.sim.counters();
    EXPECT_EQ(c.slotErases, 1u);
    EXPECT_EQ(c.consoleLines, 4u);
    EXPECT_EQ(c.violations, 0u);
    EXPECT_EQ(f.sim.consoleLines(),
              (std::vector<std::string>{"DBG 1", "fpw 7c 07", "cnd 12", "DBG 0"}));
}

TEST(SimConsole, LinesEndWithCrOrLf) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send("DBG 1\rfpw 7c 02\nDBG 0\r");
    ASSERT_TRUE(f.settle());
    EXPECT_EQ(f.sim.consoleLines(), (std::vector<std::string>{"DBG 1", "fpw 7c 02", "DBG 0"}));
    EXPECT_EQ(f.sim.selectedSlot(), 2);
}

TEST(SimConsole, SequenceErrorsAreViolations) {
    struct Case {
        const char* text;
        uint64_t violations;
        bool answers;
    } cases[] = {
        {"cnd 12\r\n", 2, false},             // no DBG 1, no slot
        {"DBG 1\r\ncnd 12\r\n", 1, false},    // no slot
        {"DBG 1\r\nfpw 7c 10\r\n", 1, false}, // slot out of range
        {"fpw 7c 01\r\ncnd 12\r\n", 2, true}, // debug mode off, still carried out
    };
    for (const Case& c : cases) {
        SimFixture f;
        ASSERT_TRUE(f.started);
        f.line->send(c.text);
        ASSERT_TRUE(f.settle());
        if (c.answers) {
            EXPECT_EQ(f.line->read(8), kCnd12) << c.text;
        }
        EXPECT_EQ(f.line->drain(100), Bytes()) << c.text;
        EXPECT_EQ(f.sim.counters().violations, c.violations) << c.text;
    }
}

TEST(SimConsole, EchoOnRequest) {
    KivoSim::Options o;
    o.echo = true;
    SimFixture f(o);
    ASSERT_TRUE(f.started);
    f.line->send("DBG 1\r\n");
    EXPECT_EQ(f.line->read(7), Bytes({'D', 'B', 'G', ' ', '1', '\r', '\n'}));
    f.sim.setEcho(false);
    f.line->send("DBG 0\r\n");
    EXPECT_EQ(f.line->drain(50), Bytes());
}

TEST(SimConsole, FramesAndTextShareTheLine) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    Bytes mixed = {'D', 'B', 'G', ' '};
    const Bytes frame = SimLine::request(0x8062);
    mixed.insert(mixed.end(), frame.begin(), frame.end());
    mixed.insert(mixed.end(), {'1', '\r', '\n'});
    f.line->send(mixed);
    EXPECT_EQ(f.line->read(11), SimLine::readReply(0x8062, {0}));
    ASSERT_TRUE(f.settle());
    EXPECT_EQ(f.sim.consoleLines(), std::vector<std::string>{"DBG 1"});
}

TEST(SimConsole, IspEntersTheBootloader) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    EXPECT_FALSE(f.sim.inBootloader());
    f.line->send("\r\n\r\nISP 32 1\r\n");
    EXPECT_TRUE(f.eventually([&] { return f.sim.inBootloader(); }));
    f.line->send(Bytes{0x7F});
    EXPECT_EQ(f.line->read(1), Bytes{0x79});
}

TEST(SimConsole, OverlongLinesAreDropped) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send(std::string(5000, 'x') + "\r\nDBG 1\r\n");
    ASSERT_TRUE(f.settle());
    const std::vector<std::string> lines = f.sim.consoleLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_LE(lines[0].size(), 256u);
    EXPECT_TRUE(f.sim.debugMode());
}

} // namespace
