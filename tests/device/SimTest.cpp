// Against the simulated generator on a pseudo-terminal: settings, a slot erase, a page write
// failing at page 7, and bootloader entry.
#include "tests/device/SimLine.h"

#include <chrono>
#include <thread>

TEST(SimGenerator, PageWriteFailingAtPageSevenStopsThenBootloaderEntry) {
    SimLine line;
    CaptureStdout();
    bool hdcp = false; // a one-byte setting read back as a flag
    EXPECT_TRUE(line.kivo.ping(3) && line.kivo.setHDCP(true) && line.kivo.getHDCP(hdcp) && hdcp &&
                line.sim.reg(0x65) == Bytes{1} && line.kivo.eraseBitmapSlot(4, nullptr));
    KivoSim::Faults f;
    f.badChecksumReply = 8; // the reply to page 7
    line.sim.setFaults(f);
    const Bytes bitmap(20 * 256, 0x5A);
    EXPECT_FALSE(line.kivo.loadBitmap(bitmap.data(), unsigned(bitmap.size()), nullptr));
    line.kivo.bootloader();
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Error loading image at byte 2048 (0x00000800)\n"), std::string::npos);
    EXPECT_EQ(line.sim.counters().pagesWritten, 8u); // nothing after the failed page
    EXPECT_EQ(line.sim.slot(4), Bytes(8 * 256, 0x5A));
    for (int waited = 0; waited < 2000 && !line.sim.inBootloader(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(line.sim.inBootloader());
    EXPECT_EQ(line.sim.consoleLines().back(), "ISP 32 1");
}
