// Against the simulated generator: reply time-outs, a page write failing at page 7, and
// bootloader entry.
#include "tests/device/SimLine.h"

#include <chrono>
#include <thread>

TEST(SimGenerator, ReplyMustBeginWithinOneAndAQuarterSecondsAndEndWithinABound) {
    // reply delay, bytes the reply stops after (0: whole), result, trace
    const std::tuple<unsigned, unsigned, bool, const char*> cases[] = {
        {1200, 0, true, ""},
        {1300, 0, false, ""},
        {0, 5, false, "recevied 0 bytes, expected 6\n"},
        {0, 3, false, "received 3 bytes (0xab 0x00 0x00 0x00 0x00)\n"},
        {0, 10, false, "recevied 5 bytes, expected 6\n"}};
    for (const auto& [delayMs, cutAfter, ok, trace] : cases) {
        SCOPED_TRACE(std::to_string(delayMs) + " " + std::to_string(cutAfter));
        KivoSim::Options o;
        o.faults.lateReply = o.faults.cutReply = 1;
        o.faults.lateReplyMs = delayMs;
        o.faults.cutReplyBytes = cutAfter ? cutAfter : 100;
        // 50 ms either side of the limit: a loaded machine may miss it once, a wrong limit always.
        bool seen = false;
        for (int attempt = 0; attempt < 3 && !seen; ++attempt) {
            SimLine line(o);
            unsigned pattern = 0;
            const auto start = std::chrono::steady_clock::now();
            CaptureStdout();
            const bool got = line.kivo.getPattern(pattern) && pattern == 3;
            const std::string out = GetCapturedStdout();
            seen = got == ok && out == trace &&
                   std::chrono::steady_clock::now() - start < std::chrono::seconds(3);
        }
        EXPECT_TRUE(seen);
    }
}

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
    EXPECT_TRUE(line.kivo.bootloader());
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Error loading image at byte 2048 (0x00000800)\n"), std::string::npos);
    EXPECT_EQ(line.sim.counters().pagesWritten, 8u); // nothing after the failed page
    EXPECT_EQ(line.sim.slot(4), Bytes(8 * 256, 0x5A));
    for (int waited = 0; waited < 2000 && !line.sim.inBootloader(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(line.sim.inBootloader());
    EXPECT_EQ(line.sim.consoleLines().back(), "ISP 32 1");
}
