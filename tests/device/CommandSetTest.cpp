// Register names, block layouts, InfoFrames, versions and ping on a scripted stream.
#include "device/KivoIo.h"
#include "tests/device/Frames.h"
#include "tests/support/ScriptedStream.h"

#include <gtest/gtest.h>

#include <functional>

using frames::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Generator {
    ScriptedStream s;
    KivoIo kivo{s};
    std::function<Bytes(unsigned code, const Bytes& payload)> readData =
        [](unsigned, const Bytes&) { return Bytes{0}; };
    std::vector<unsigned> lost; // indexes of requests that get no answer

    Generator() {
        s.onWrite = frames::answering([this](const frames::Wire::Frame& f, unsigned i) {
            for (unsigned l : lost)
                if (l == i) return Bytes{};
            return f.code & 0x8000 ? frames::readReply(f.code, readData(f.code, f.payload))
                                   : frames::writeAck(f.code);
        });
    }
    frames::Wire wire() const { return frames::parse(s.written); }
};

} // namespace

TEST(CommandSet, OneByteSettersSendTheLowByte) {
    struct Case {
        const char* name;
        std::function<bool(KivoIo&)> call;
        unsigned code;
        uint8_t byte;
    };
    const Case cases[] = {
        {"timing", [](KivoIo& k) { return k.setTiming(KivoIo::Vic1920x1080p60); }, 0x61, 16},
        {"pattern", [](KivoIo& k) { return k.setPattern(0x1234); }, 0x62, 0x34},
        {"colour space", [](KivoIo& k) { return k.setColorSpace(KivoIo::ColorYcc422); }, 0x63, 3},
        {"depth", [](KivoIo& k) { return k.setColorDepth(KivoIo::Depth12Bit); }, 0x64, 2},
        {"hdcp", [](KivoIo& k) { return k.setHDCP(true); }, 0x65, 1},
        {"tx mode", [](KivoIo& k) { return k.setTxMode(KivoIo::TxHdmi); }, 0x66, 1},
        {"sample", [](KivoIo& k) { return k.setAudioSample(KivoIo::Sample48kHz); }, 0x67, 2},
        {"audio depth", [](KivoIo& k) { return k.setAudioDepth(KivoIo::Audio24Bit); }, 0x68, 2},
        {"source", [](KivoIo& k) { return k.setAudioSource(KivoIo::SourceI2s); }, 0x69, 3},
        {"channel", [](KivoIo& k) { return k.setAudioChannel(KivoIo::Channels8); }, 0x6A, 2},
        {"speaker", [](KivoIo& k) { return k.setAudioSpeaker(0x13); }, 0x6B, 0x13},
        {"volume", [](KivoIo& k) { return k.setVolume(0x1FF); }, 0x6D, 0xFF},
        {"scramble", [](KivoIo& k) { return k.setScramble(false); }, 0x6E, 0},
        {"hdr", [](KivoIo& k) { return k.setHDR(KivoIo::HdrPq); }, 0x6F, 2},
        {"bt2020", [](KivoIo& k) { return k.setBt2020(KivoIo::Bt2020Ycc); }, 0x70, 1},
        {"power", [](KivoIo& k) { return k.setPower(true); }, 0xAB, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Generator g;
        EXPECT_TRUE(c.call(g.kivo));
        EXPECT_EQ(g.s.written, frames::request(c.code, {c.byte}));
    }
}

TEST(CommandSet, GettersReadTheByteBack) {
    Generator g;
    g.readData = [](unsigned code, const Bytes&) { return Bytes{uint8_t(code == 0x80E5 ? 0 : 2)}; };
    bool hdcp = false;
    EXPECT_TRUE(g.kivo.getHDCP(hdcp));
    EXPECT_TRUE(hdcp); // any byte but 0
    KivoIo::Deepcolor depth = KivoIo::Depth8Bit;
    EXPECT_TRUE(g.kivo.getColorDepth(depth));
    EXPECT_EQ(depth, KivoIo::Depth12Bit);
    unsigned volume = 0;
    EXPECT_TRUE(g.kivo.getVolume(volume));
    EXPECT_EQ(volume, 2u);
    frames::Wire w = g.wire();
    ASSERT_EQ(w.frames.size(), 3u);
    EXPECT_EQ(w.frames[0].code, 0x8065u);
    EXPECT_EQ(w.frames[1].code, 0x8064u);
    EXPECT_EQ(w.frames[2].code, 0x806Du);
    for (auto& f : w.frames) EXPECT_TRUE(f.payload.empty());

    g.lost = {3};
    bool power = true;
    EXPECT_FALSE(g.kivo.getPower(power));
}

TEST(CommandSet, ColourBlocks) {
    Generator g;
    const KivoIo::Rgb red{0x1FF, 0, 0}, grey{0x80, 0x81, 0x82}, c2{1, 2, 3}, c3{4, 5, 6};
    EXPECT_TRUE(g.kivo.setRGB(red, grey, 0x105, true));
    EXPECT_TRUE(g.kivo.setHdrRgb(red, grey, c2, c3, 7, KivoIo::Window18Percent, true));
    frames::Wire w = g.wire();
    ASSERT_EQ(w.frames.size(), 2u);
    EXPECT_EQ(w.frames[0].code, 0x6Cu);
    EXPECT_EQ(w.frames[0].payload, Bytes({0xFF, 0, 0, 0x80, 0x81, 0x82, 0x05, 0x01}));
    EXPECT_EQ(w.frames[1].code, 0x7Cu);
    EXPECT_EQ(w.frames[1].payload,
              Bytes({0xFF, 0, 0, 0x80, 0x81, 0x82, 1, 2, 3, 4, 5, 6, 0x07, 0x01, 0x02}));
}

TEST(CommandSet, UnexchangedOperations) {
    Generator g;
    KivoIo::VideoTiming t;
    EXPECT_TRUE(g.kivo.setUserTiming(1, t));
    EXPECT_TRUE(g.kivo.getUserTiming(1, t));
    KivoIo::Rgb a{1, 2, 3}, b{4, 5, 6}, c{7, 8, 9}, d{10, 11, 12};
    unsigned n = 42;
    bool flag = true;
    KivoIo::WindowMode mode = KivoIo::Window50Percent;
    EXPECT_FALSE(g.kivo.getRGB(a, b, n, flag));
    EXPECT_FALSE(g.kivo.getHdrRgb(a, b, c, d, n, mode, flag));
    EXPECT_EQ(a.r, 1u);
    EXPECT_EQ(d.b, 12u);
    EXPECT_EQ(n, 42u);
    EXPECT_EQ(mode, KivoIo::Window50Percent);
    EXPECT_TRUE(g.s.written.empty());
}

TEST(InfoFrames, HeadCarriesTheInfoFrameChecksum) {
    Generator g;
    unsigned char zeros[13] = {};
    EXPECT_TRUE(g.kivo.setInfoFrame(0x101, 0x82, 2, zeros, 13));
    const unsigned char avi[5] = {0x10, 0x28, 0x00, 0x04, 0x00};
    EXPECT_TRUE(g.kivo.setInfoFrame(3, 0x87, 1, avi, 5));
    frames::Wire w = g.wire();
    ASSERT_EQ(w.frames.size(), 2u);
    Bytes expected = {0x01, 0x82, 0x02, 0x0D, 0x6F};
    expected.resize(5 + 13, 0);
    EXPECT_EQ(w.frames[0].code, 0xA2u);
    EXPECT_EQ(w.frames[0].payload, expected);
    // type, version, length, checksum and data add up to 0; the index is not counted
    const Bytes& p = w.frames[1].payload;
    unsigned sum = 0;
    for (size_t i = 1; i < p.size(); ++i) sum += p[i];
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(sum & 0xFF, 0u);
}

TEST(InfoFrames, RepliesAreNeverReadPastTheirEnd) {
    struct Case {
        const char* name;
        Bytes payload;
        bool ok;
        unsigned len;
    };
    const Case cases[] = {
        {"whole", {0x82, 0x02, 0x03, 0x00, 0xA1, 0xA2, 0xA3}, true, 3},
        {"extra bytes", {0x82, 0x02, 0x01, 0x00, 0xA1, 0xA2}, true, 1},
        {"empty", {}, true, 0},
        {"no data", {0x82, 0x02, 0x00, 0x7C}, true, 0},
        {"head only", {0x82, 0x02}, false, 0},
        {"shorter than its length", {0x82, 0x02, 0x0D, 0x00, 0xA1}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Generator g;
        g.readData = [&](unsigned, const Bytes& sel) {
            EXPECT_EQ(sel, Bytes({0x05}));
            return c.payload;
        };
        unsigned char type = 9, version = 9;
        unsigned char* data = reinterpret_cast<unsigned char*>(&g);
        unsigned len = 99;
        EXPECT_EQ(g.kivo.getInfoFrame(0x105, type, version, data, len), c.ok);
        EXPECT_EQ(len, c.len);
        if (c.ok && !c.payload.empty()) {
            EXPECT_EQ(type, 0x82);
            EXPECT_EQ(version, 0x02);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(Bytes(data, data + len),
                      Bytes(c.payload.begin() + 4, c.payload.begin() + 4 + len));
        } else {
            EXPECT_EQ(type, 0);
            EXPECT_EQ(data, nullptr);
        }
        delete[] data;
        EXPECT_EQ(g.wire().frames.at(0).code, 0x80A2u);
    }
}

TEST(Versions, FourSelectorsInOrderStoppingAtTheFirstFailure) {
    Generator g;
    g.readData = [](unsigned, const Bytes& sel) { return Bytes{0x00, sel.at(0), 0x02}; };
    unsigned v[4] = {0, 0, 0, 0};
    CaptureStdout();
    EXPECT_TRUE(g.kivo.getVersions(v[0], v[1], v[2], v[3]));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(v[0], 0x0102u);
    EXPECT_EQ(v[3], 0x3002u);
    frames::Wire w = g.wire();
    ASSERT_EQ(w.frames.size(), 4u);
    const uint8_t selectors[4] = {0x01, 0x10, 0x11, 0x30};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w.frames[i].code, 0xF858u);
        EXPECT_EQ(w.frames[i].payload, Bytes({selectors[i]}));
    }

    Generator h;
    h.readData = [](unsigned, const Bytes&) { return Bytes{0x11}; };
    h.lost = {2};
    unsigned u[4] = {7, 7, 7, 7};
    CaptureStdout();
    EXPECT_FALSE(h.kivo.getVersions(u[0], u[1], u[2], u[3]));
    EXPECT_EQ(GetCapturedStdout(), "hmm, (rv 0) (rlen 0)\n");
    EXPECT_EQ(u[0], 0x11u);
    EXPECT_EQ(u[1], 0x11u);
    EXPECT_EQ(u[2], 7u);
    EXPECT_EQ(u[3], 7u);
    EXPECT_EQ(h.wire().frames.size(), 3u);
}

TEST(Ping, RetriesUntilAnAnswer) {
    struct Case {
        int tries;
        std::vector<unsigned> lost;
        bool ok;
        size_t requests;
    };
    const Case cases[] = {
        {3, {0}, true, 2},  {3, {}, true, 1},  {3, {0, 1, 2}, false, 3},
        {1, {0}, false, 1}, {0, {}, false, 0}, {-1, {}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tries);
        Generator g;
        g.lost = c.lost;
        EXPECT_EQ(g.kivo.ping(c.tries), c.ok);
        frames::Wire w = g.wire();
        ASSERT_EQ(w.frames.size(), c.requests);
        for (auto& f : w.frames) {
            EXPECT_EQ(f.code, 0x8062u);
        }
        if (c.requests == 0) {
            EXPECT_TRUE(g.s.written.empty());
        }
    }
}
