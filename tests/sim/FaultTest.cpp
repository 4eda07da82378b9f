#include "tests/sim/SimLine.h"

#include <gtest/gtest.h>

namespace {

const Bytes kRead = SimLine::request(0x8062);
const Bytes kReply = SimLine::readReply(0x8062, {0});

KivoSim::Options withFaults(const KivoSim::Faults& faults, bool bootloader = false) {
    KivoSim::Options o;
    o.faults = faults;
    o.bootloader = bootloader;
    return o;
}

Bytes cmd(uint8_t c) {
    return {c, uint8_t(c ^ 0xFF)};
}
const Bytes kBaseAddress = {0x08, 0x00, 0x00, 0x00, 0x08};

// Sends a 4-byte Write Memory at the flash base; returns the three answers.
Bytes bootWrite(SimLine& line, uint8_t value) {
    Bytes got;
    for (const Bytes& part : {cmd(0x31), kBaseAddress, Bytes{3, value, value, value, value, 3}}) {
        line.send(part);
        const Bytes r = line.read(1, 300);
        got.insert(got.end(), r.begin(), r.end());
        if (r != Bytes{0x79}) break;
    }
    return got;
}

TEST(SimFaults, NoReplyToTheNthFrame) {
    KivoSim::Faults f;
    f.noReplyToFrame = 2;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    for (bool answered : {true, false, true}) {
        s.line->send(kRead);
        EXPECT_EQ(s.line->read(11, 300), answered ? kReply : Bytes());
    }
}

TEST(SimFaults, CorruptChecksumOnTheNthReply) {
    KivoSim::Faults f;
    f.badChecksumReply = 1;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    s.line->send(kRead);
    Bytes bad = kReply;
    bad.back() = uint8_t(bad.back() + 1);
    EXPECT_EQ(s.line->read(11), bad);
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11), kReply);
}

TEST(SimFaults, LateReply) {
    KivoSim::Faults f;
    f.lateReply = 1;
    f.lateReplyMs = 400;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11, 150), Bytes());
    EXPECT_EQ(s.line->read(11, 2000), kReply);
}

TEST(SimFaults, CutReplyThenSilence) {
    KivoSim::Faults f;
    f.cutReply = 1;
    f.cutReplyBytes = 5;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(5), Bytes(kReply.begin(), kReply.begin() + 5));
    EXPECT_EQ(s.line->drain(100), Bytes());
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11), kReply);
}

TEST(SimFaults, SilenceAfterNFrames) {
    KivoSim::Faults f;
    f.silenceAfterFrames = 2;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    for (bool answered : {true, true, false}) {
        s.line->send(kRead);
        EXPECT_EQ(s.line->read(11, 200), answered ? kReply : Bytes());
    }
    s.line->send("DBG 1\r\nfpw 7c 01\r\ncnd 12\r\n");
    EXPECT_EQ(s.line->drain(100), Bytes());
}

TEST(SimFaults, EraseNeverConfirmed) {
    KivoSim::Faults f;
    f.eraseNeverConfirmed = true;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    s.line->send("DBG 1\r\nfpw 7c 01\r\ncnd 12\r\n");
    ASSERT_TRUE(s.settle());
    EXPECT_EQ(s.line->drain(200), Bytes());
    EXPECT_EQ(s.sim.counters().slotErases, 1u);
}

TEST(SimFaults, IspIgnored) {
    KivoSim::Faults f;
    f.ignoreIsp = true;
    SimFixture s(withFaults(f));
    ASSERT_TRUE(s.started);
    s.line->send("\r\nISP 32 1\r\n");
    ASSERT_TRUE(s.settle());
    s.line->drain(100);
    EXPECT_FALSE(s.sim.inBootloader());
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11), kReply);
}

TEST(SimFaults, NackOfTheNthBootloaderWrite) {
    KivoSim::Faults f;
    f.nackBootWrite = 2;
    SimFixture s(withFaults(f, true));
    ASSERT_TRUE(s.started);
    s.line->send(Bytes{0x7F});
    s.line->read(1);
    EXPECT_EQ(bootWrite(*s.line, 0x11), Bytes({0x79, 0x79, 0x79}));
    EXPECT_EQ(bootWrite(*s.line, 0x01), Bytes({0x79, 0x79, 0x1F}));
    EXPECT_EQ(s.sim.flash()[0], 0x11) << "a refused write changes nothing";
}

TEST(SimFaults, SilenceAfterNChunks) {
    KivoSim::Faults f;
    f.silenceAfterChunks = 1;
    SimFixture s(withFaults(f, true));
    ASSERT_TRUE(s.started);
    s.line->send(Bytes{0x7F});
    s.line->read(1);
    EXPECT_EQ(bootWrite(*s.line, 0x11), Bytes({0x79, 0x79, 0x79}));
    EXPECT_EQ(bootWrite(*s.line, 0x11), Bytes());
}

TEST(SimFaults, NackOfEraseAndGo) {
    KivoSim::Faults f;
    f.nackErase = true;
    f.nackGo = true;
    SimFixture s(withFaults(f, true));
    ASSERT_TRUE(s.started);
    s.line->send(Bytes{0x7F});
    s.line->read(1);
    const std::pair<Bytes, Bytes> steps[] = {
        {cmd(0x43), {0xFF, 0x00}}, {cmd(0x44), {0xFF, 0xFF, 0x00}}, {cmd(0x21), kBaseAddress}};
    for (const auto& st : steps) {
        s.line->send(st.first);
        EXPECT_EQ(s.line->read(1), Bytes{0x79});
        s.line->send(st.second);
        EXPECT_EQ(s.line->read(1), Bytes{0x1F});
    }
    EXPECT_TRUE(s.sim.inBootloader());
}

TEST(SimFaults, CorruptFlashByteShowsInReadBack) {
    KivoSim::Faults f;
    f.corruptFlash = true;
    f.corruptFlashAddress = 0x08000002;
    SimFixture s(withFaults(f, true));
    ASSERT_TRUE(s.started);
    s.line->send(Bytes{0x7F});
    s.line->read(1);
    EXPECT_EQ(bootWrite(*s.line, 0x11), Bytes({0x79, 0x79, 0x79}));
    for (const Bytes& part : {cmd(0x11), kBaseAddress}) {
        s.line->send(part);
        EXPECT_EQ(s.line->read(1), Bytes{0x79});
    }
    s.line->send(Bytes{0x03, 0xFC});
    EXPECT_EQ(s.line->read(5), Bytes({0x79, 0x11, 0x11, 0xEE, 0x11}));
}

TEST(SimFaults, SetAtRunTimeCountsFromTheCall) {
    SimFixture s;
    ASSERT_TRUE(s.started);
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11), kReply);
    KivoSim::Faults f;
    f.noReplyToFrame = 1;
    s.sim.setFaults(f);
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11, 200), Bytes());
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11), kReply);
}

TEST(SimFaults, DroppedLineHangsUpTheHost) {
    SimFixture s;
    ASSERT_TRUE(s.started);
    s.sim.dropLine();
    EXPECT_TRUE(s.sim.lineDropped());
    s.line->send(kRead);
    EXPECT_EQ(s.line->read(11, 200), Bytes());
    EXPECT_FALSE(s.sim.start()) << "a dropped line stays down";
}

} // namespace
