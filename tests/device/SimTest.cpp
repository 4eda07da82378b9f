// The link against the simulated generator on a pseudo-terminal: settings, and a preview write
// failing at page 7 on a reply with a wrong checksum.
#include "serial/SIoUnix.h"
#include "sim/KivoSim.h"
#include "tests/device/Frames.h"
#include "tests/support/QuickSim.h"

TEST(SimGenerator, SettingsAndAPageWriteFailingAtPageSeven) {
    KivoSim sim(quickSim());
    SIoUnix line;
    ASSERT_TRUE(sim.start() && line.initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8,
                                               SerialIo::ParityNone, 1));
    sim.setReg(0x62, {3});
    KivoIo kivo(line);
    bool hdcp = false; // a one-byte setting read back as a flag
    EXPECT_TRUE(kivo.ping(3) && kivo.setHDCP(true) && kivo.getHDCP(hdcp) && hdcp &&
                sim.reg(0x65) == Bytes{1});
    KivoSim::Faults f;
    f.badChecksumReply = 8; // the reply to page 7
    sim.setFaults(f);
    const Bytes preview(20 * 256, 0x5A);
    CaptureStdout();
    EXPECT_FALSE(kivo.loadLcdBitmap(36, preview.data(), unsigned(preview.size()), nullptr));
    EXPECT_NE(GetCapturedStdout().find("Error loading lcd image at index 7112 (0x00001bc8)\n"),
              std::string::npos);
    EXPECT_EQ(sim.counters().pagesWritten, 8u); // nothing after the failed page
    const Bytes stored = sim.preview(36);
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 9 * 256),
              Bytes(8 * 256, 0x5A) + Bytes(256, 0xFF));
}
