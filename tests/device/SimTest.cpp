// The command set against the simulated generator: registers, versions, a failing page write,
// a hung-up line and bootloader entry.
#include "device/KivoIo.h"
#include "serial/SIoUnix.h"
#include "sim/KivoSim.h"
#include "tests/device/Frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using frames::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Connected {
    KivoSim sim;
    SIoUnix io;
    KivoIo kivo{io};
    explicit Connected(const KivoSim::Options& o = KivoSim::Options()) : sim(o) {
        EXPECT_TRUE(sim.start());
        EXPECT_TRUE(io.initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8,
                                  SerialIo::ParityNone, 1));
    }
};

template <typename Pred> bool eventually(Pred pred, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

} // namespace

TEST(SimGenerator, RegistersVersionsAndInfoFrames) {
    Connected c;
    EXPECT_TRUE(c.kivo.ping(3));
    EXPECT_TRUE(c.kivo.setPattern(7));
    unsigned pattern = 0;
    EXPECT_TRUE(c.kivo.getPattern(pattern));
    EXPECT_EQ(pattern, 7u);
    EXPECT_TRUE(c.kivo.setHDCP(true));
    bool hdcp = false;
    EXPECT_TRUE(c.kivo.getHDCP(hdcp));
    EXPECT_TRUE(hdcp);
    EXPECT_EQ(c.sim.reg(0x65), Bytes({1}));

    unsigned v[4] = {};
    EXPECT_TRUE(c.kivo.getVersions(v[0], v[1], v[2], v[3]));
    EXPECT_EQ(v[0], 0x01000000u);
    EXPECT_EQ(v[1], 0x00010000u);
    EXPECT_EQ(v[2], 0x00000100u);
    EXPECT_EQ(v[3], 0x00000001u);

    const unsigned char body[13] = {1, 2, 3};
    EXPECT_TRUE(c.kivo.setInfoFrame(1, 0x82, 2, body, 13));
    unsigned char type = 0, version = 0, *data = nullptr;
    unsigned len = 0;
    EXPECT_TRUE(c.kivo.getInfoFrame(1, type, version, data, len));
    EXPECT_EQ(type, 0x82);
    ASSERT_EQ(len, 13u);
    EXPECT_EQ(Bytes(data, data + len), Bytes(body, body + 13));
    delete[] data;
    EXPECT_EQ(c.sim.counters().violations, 0u);
}

TEST(SimGenerator, ByNameObjectOpensItsOwnStream) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    const std::string path = sim.slavePath(); // only the pointer is kept
    KivoIo kivo(path.c_str());
    ASSERT_TRUE(kivo.initialize());
    EXPECT_TRUE(kivo.ping(3));
    EXPECT_TRUE(kivo.setVolume(0x1FF));
    EXPECT_EQ(sim.reg(0x6D), Bytes({0xFF}));
}

TEST(SimGenerator, PageWriteFailingAtPageSevenStops) {
    Connected c;
    CaptureStdout();
    ASSERT_TRUE(c.kivo.eraseBitmapSlot(4, nullptr));
    KivoSim::Faults f;
    f.badChecksumReply = 8; // the reply to page 7
    c.sim.setFaults(f);
    Bytes bitmap(20 * 256, 0x5A);
    EXPECT_FALSE(c.kivo.loadBitmap(bitmap.data(), unsigned(bitmap.size()), nullptr));
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Error loading image at byte 2048 (0x00000800)\n"), std::string::npos)
        << out;
    EXPECT_EQ(c.sim.counters().pagesWritten, 8u); // nothing after the failed page
    EXPECT_EQ(c.sim.slot(4), Bytes(8 * 256, 0x5A));
}

TEST(SimGenerator, DroppedLineEndsConsoleAndLinkPromptly) {
    Connected c;
    c.sim.dropLine();
    ASSERT_TRUE(eventually([&] { return c.sim.lineDropped(); }, 2000));
    auto start = std::chrono::steady_clock::now();
    unsigned char* reply = nullptr;
    unsigned len = 0;
    CaptureStdout();
    EXPECT_TRUE(c.kivo.cmd(reply, len, true, "cnd 12\r\n"));
    delete[] reply;
    EXPECT_FALSE(c.kivo.waitForResponse(120000, reinterpret_cast<const unsigned char*>("cnd 12"), 6,
                                        nullptr));
    EXPECT_FALSE(c.kivo.ping(1));
    GetCapturedStdout();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              10.0);
}

TEST(SimGenerator, BootloaderCommandSwitchesTheGenerator) {
    Connected c;
    EXPECT_FALSE(c.sim.inBootloader());
    CaptureStdout();
    EXPECT_TRUE(c.kivo.bootloader());
    GetCapturedStdout();
    EXPECT_TRUE(eventually([&] { return c.sim.inBootloader(); }, 2000));
    const std::vector<std::string> lines = c.sim.consoleLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "ISP 32 1");
}
