#include "tests/sim/SimLine.h"

#include <gtest/gtest.h>

namespace {

struct WorkedFrame {
    const char* name;
    Bytes request;
    Bytes reply;
};

TEST(SimGenerator, WorkedFramesByteForByte) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    const WorkedFrame frames[] = {
        {"write 3 to 0x62",
         {0xAA, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x00, 0x03, 0xEB},
         {0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x62, 0x00, 0xEE}},
        {"read 0x62",
         {0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x62, 0x80, 0x6F},
         {0xAB, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x80, 0x03, 0x6A}},
    };
    for (const WorkedFrame& w : frames) {
        f.line->send(w.request);
        EXPECT_EQ(f.line->read(w.reply.size()), w.reply) << w.name;
    }
    EXPECT_EQ(f.line->drain(50), Bytes());
    EXPECT_EQ(f.sim.reg(0x62), Bytes{3});
}

TEST(SimGenerator, OneByteRegistersReadBackWhatWasWritten) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    const uint16_t codes[] = {0x61, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
                              0x6A, 0x6B, 0x6D, 0x6E, 0x6F, 0x70, 0xAB};
    uint8_t v = 0x10;
    for (uint16_t c : codes) {
        f.line->send(SimLine::request(c, {v}));
        EXPECT_EQ(f.line->read(12), SimLine::ack(c)) << std::hex << c;
        f.line->send(SimLine::request(c | 0x8000));
        EXPECT_EQ(f.line->read(11), SimLine::readReply(c | 0x8000, {v})) << std::hex << c;
        ++v;
    }
    EXPECT_EQ(f.sim.counters().violations, 0u);
}

TEST(SimGenerator, BlockRegistersAndSizeChecks) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    const Bytes rgb = {1, 2, 3, 4, 5, 6, 7, 1};
    f.line->send(SimLine::request(0x6C, rgb));
    EXPECT_EQ(f.line->read(12), SimLine::ack(0x6C));
    Bytes hdr(15, 9);
    f.line->send(SimLine::request(0x7C, hdr));
    EXPECT_EQ(f.line->read(12), SimLine::ack(0x7C));
    EXPECT_EQ(f.sim.reg(0x6C), rgb);
    EXPECT_EQ(f.sim.reg(0x7C), hdr);
    EXPECT_EQ(f.sim.counters().violations, 0u);
    f.line->send(SimLine::request(0x6C, {1, 2})); // too short: still acknowledged, but noted
    EXPECT_EQ(f.line->read(12), SimLine::ack(0x6C));
    EXPECT_EQ(f.sim.counters().violations, 1u);
}

TEST(SimGenerator, InfoFramesByIndex) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    Bytes head = {4, 0x82, 0x02, 13, 0x6F};
    head.resize(5 + 13, 0);
    f.line->send(SimLine::request(0xA2, head));
    EXPECT_EQ(f.line->read(12), SimLine::ack(0xA2));
    f.line->send(SimLine::request(0x80A2, {4}));
    Bytes want = {0x82, 0x02, 13, 0x6F};
    want.resize(4 + 13, 0);
    EXPECT_EQ(f.line->read(want.size() + 10), SimLine::readReply(0x80A2, want));
    f.line->send(SimLine::request(0x80A2, {5})); // never written: empty payload
    EXPECT_EQ(f.line->read(10), SimLine::readReply(0x80A2, {}));
    ASSERT_EQ(f.sim.infoFrames().size(), 1u);
    EXPECT_EQ(f.sim.infoFrames()[0].first, 4u);
    EXPECT_EQ(f.sim.counters().violations, 0u);

    head[4] = 0x70; // wrong InfoFrame checksum is stored as sent, and noted
    f.line->send(SimLine::request(0xA2, head));
    EXPECT_EQ(f.line->read(12), SimLine::ack(0xA2));
    EXPECT_EQ(f.sim.counters().violations, 1u);
}

TEST(SimGenerator, VersionsBySelector) {
    KivoSim::Options o;
    o.versions[0] = 0x01020304;
    o.versions[3] = 0x0A0B0C0D;
    SimFixture f(o);
    ASSERT_TRUE(f.started);
    f.line->send(SimLine::request(0xF858, {0x01}));
    EXPECT_EQ(f.line->read(14), SimLine::readReply(0xF858, {1, 2, 3, 4}));
    f.line->send(SimLine::request(0xF858, {0x30}));
    EXPECT_EQ(f.line->read(14), SimLine::readReply(0xF858, {0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(SimGenerator, TagAndAddressAreEchoed) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send(SimLine::request(0x8062, {}, 0x1234, 7, 9));
    const Bytes r = f.line->read(11);
    ASSERT_EQ(r.size(), 11u);
    EXPECT_EQ(r[1], 0x34);
    EXPECT_EQ(r[2], 0x12);
    EXPECT_EQ(r[5], 7);
    EXPECT_EQ(r[6], 9);
    unsigned sum = 0;
    for (uint8_t b : r) sum += b;
    EXPECT_EQ(sum & 0xFF, 0u);
}

TEST(SimGenerator, MalformedFramesGetNoAnswer) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    Bytes badSum = SimLine::request(0x8062);
    badSum.back() ^= 1;
    const Bytes shortLength = {0xAA, 0, 0, 0x04, 0x00};
    Bytes truncated = SimLine::request(0x8062);
    truncated.pop_back();
    for (const Bytes& b : {badSum, shortLength}) {
        f.line->send(b);
        EXPECT_EQ(f.line->drain(60), Bytes());
    }
    f.line->send(truncated); // abandoned after a pause, so the next frame is clean
    EXPECT_EQ(f.line->drain(200), Bytes());
    f.line->send(SimLine::request(0x8062));
    EXPECT_EQ(f.line->read(11), SimLine::readReply(0x8062, {0}));
    EXPECT_EQ(f.sim.counters().framesRejected, 3u);
    EXPECT_EQ(f.sim.counters().framesReceived, 1u);
}

TEST(SimGenerator, BitmapPagesGoToTheErasedSlot) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send("\r\nDBG 1\r\nfpw 7c 03\r\ncnd 12\r\n");
    EXPECT_EQ(f.line->read(8), Bytes({'c', 'n', 'd', ' ', '1', '2', '\r', '\n'}));
    for (unsigned p = 0; p < 3; ++p) {
        f.line->send(SimLine::flashPage(0x30, p, p == 2 ? 0x40 : 0, uint8_t(p + 1)));
        EXPECT_EQ(f.line->read(12), SimLine::ack(0x7878));
    }
    const Bytes s = f.sim.slot(3);
    ASSERT_EQ(s.size(), 3u * 256);
    EXPECT_EQ(s[0], 1);
    EXPECT_EQ(s[256], 2);
    EXPECT_EQ(s[767], 3);
    EXPECT_EQ(f.sim.counters().pagesWritten, 3u);
    EXPECT_EQ(f.sim.counters().violations, 0u);
    EXPECT_TRUE(f.sim.slot(2).empty());
}

struct PageCase {
    const char* name;
    bool erase;
    std::vector<std::pair<unsigned, uint8_t>> pages; // page, flags
    uint64_t violations;
};

TEST(SimGenerator, BitmapViolationsAreCounted) {
    const PageCase cases[] = {
        {"in order", true, {{0, 0}, {1, 0x40}}, 0},
        {"no erase", false, {{0, 0x40}}, 1},
        {"gap", true, {{0, 0}, {2, 0x40}}, 1},
        {"first flag on bitmap", true, {{0, 0xC0}}, 1},
        {"after last page", true, {{0, 0x40}, {1, 0x40}}, 1},
    };
    for (const PageCase& c : cases) {
        SimFixture f;
        ASSERT_TRUE(f.started);
        f.line->send(c.erase ? "DBG 1\r\nfpw 7c 00\r\ncnd 12\r\n" : "DBG 1\r\nfpw 7c 00\r\n");
        if (c.erase) f.line->read(8);
        for (auto p : c.pages) {
            f.line->send(SimLine::flashPage(0x30, p.first, p.second, 0x55));
            EXPECT_EQ(f.line->read(12), SimLine::ack(0x7878)) << c.name;
        }
        EXPECT_EQ(f.sim.counters().violations, c.violations) << c.name;
    }
}

TEST(SimGenerator, UnerasedSlotOnlyClearsBits) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send("DBG 1\r\nfpw 7c 01\r\ncnd 12\r\n");
    f.line->read(8);
    f.line->send(SimLine::flashPage(0x30, 0, 0x40, 0xF0));
    f.line->read(12);
    f.line->send(SimLine::flashPage(0x30, 0, 0x40, 0x0F)); // rewrite without erase
    f.line->read(12);
    EXPECT_EQ(f.sim.slot(1)[0], 0x00);
    EXPECT_EQ(f.sim.violationLog(), (std::vector<std::string>{"bitmap page 0 into an unerased slot",
                                                              "bitmap page 0, expected 1"}));
}

TEST(SimGenerator, PreviewAreaWithFlags) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    const unsigned first = 37 * 192; // preview index 36
    for (unsigned k = 0; k < 192; ++k) {
        const uint8_t flags = k == 0 ? 0x80 : k == 191 ? 0x40 : 0;
        f.line->send(SimLine::flashPage(0x21, first + k, flags, uint8_t(k)));
        ASSERT_EQ(f.line->read(12), SimLine::ack(0x7878));
    }
    const Bytes p = f.sim.preview(36);
    ASSERT_EQ(p.size(), 49152u);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[191 * 256], 191);
    EXPECT_EQ(f.sim.previewIndexes(), std::vector<int>{36});
    EXPECT_EQ(f.sim.counters().violations, 0u);

    f.line->send(SimLine::flashPage(0x21, first + 5, 0x80, 0)); // 0x80 in the middle
    f.line->read(12);
    f.line->send(SimLine::flashPage(0x21, 100, 0x80, 0)); // below the preview area
    f.line->read(12);
    EXPECT_EQ(f.sim.counters().violations, 3u); // 0x80 misplaced, page order, below area
}

TEST(SimGenerator, FlashWriteOfWrongSizeIsNotAcknowledged) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send(SimLine::request(0x7878, Bytes(100, 0)));
    EXPECT_EQ(f.line->drain(60), Bytes());
    EXPECT_EQ(f.sim.counters().violations, 1u);
}

TEST(SimGenerator, TranscriptRecordsFramesAndState) {
    SimFixture f;
    ASSERT_TRUE(f.started);
    f.line->send(SimLine::request(0x62, {3}));
    f.line->read(12);
    f.line->send("DBG 1\r\n");
    ASSERT_TRUE(f.settle());
    const std::string t = f.sim.transcriptJson();
    EXPECT_NE(t.find("\"type\":\"frame\",\"code\":\"0x0062\",\"tag\":0,\"payload\":\"03\","
                     "\"reply\":\"ab000007000000ffff6200ee\""),
              std::string::npos)
        << t.substr(0, 400);
    EXPECT_NE(t.find("\"line\":\"DBG 1\""), std::string::npos);
    EXPECT_NE(t.find("\"0x0062\":\"03\""), std::string::npos);
}

TEST(SimGenerator, ParserSurvivesArbitraryBytes) {
    uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        Bytes junk(1 + round * 7);
        for (uint8_t& b : junk) {
            seed = seed * 1103515245u + 12345u;
            b = uint8_t(seed >> 16);
        }
        if (round % 3 == 0) junk[0] = 0xAA;
        KivoSim::parseForTest(junk.data(), junk.size(), round % 2 == 1);
    }
    const Bytes read = SimLine::request(0x8062);
    EXPECT_EQ(KivoSim::parseForTest(read.data(), read.size(), false),
              SimLine::readReply(0x8062, {0}));
}

} // namespace

namespace {

// Pacing changes when bytes travel, never which bytes.
TEST(SimGenerator, PacedLineCarriesTheSameBytes) {
    KivoSim::Options o;
    o.baud = 38400;
    o.pageProgramUs = 500;
    SimFixture f(o);
    ASSERT_TRUE(f.started);
    f.line->send(Bytes{0xAA, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x00, 0x03, 0xEB});
    EXPECT_EQ(f.line->read(12), SimLine::ack(0x62));
    f.line->send("DBG 1\r\nfpw 7c 09\r\ncnd 12\r\n");
    EXPECT_EQ(f.line->read(8), Bytes({'c', 'n', 'd', ' ', '1', '2', '\r', '\n'}));
    for (unsigned p = 0; p < 4; ++p) {
        f.line->send(SimLine::flashPage(0x30, p, p == 3 ? 0x40 : 0, uint8_t(0xA0 + p)));
        ASSERT_EQ(f.line->read(12), SimLine::ack(0x7878));
    }
    EXPECT_EQ(f.sim.slot(9)[3 * 256], 0xA3);
    const KivoSim::Counters c = f.sim.counters();
    EXPECT_EQ(c.bytesOut, 12u + 8 + 4 * 12);
    EXPECT_EQ(c.violations, 0u);
}

} // namespace
