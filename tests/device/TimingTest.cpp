// The console's time-outs and a hung-up line on a pseudo-terminal.
#include "serial/SIoUnix.h"
#include "tests/device/Frames.h"
#include "tests/support/TestPty.h"

#include <chrono>

TEST(Timing, ConsoleWaitsAndAHungUpLine) {
    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    };
    TestPty pty;
    SIoUnix io;
    KivoIo kivo(io);
    ASSERT_TRUE(pty.ok() && io.initialize(pty.slavePath.c_str(), SerialIo::Baud115200, 8,
                                          SerialIo::ParityNone, 1));
    auto start = Clock::now();
    unsigned char* reply = nullptr;
    unsigned len = 99;
    CaptureStdout();
    EXPECT_TRUE(kivo.cmd(reply, len, true, "DBG %d\r\n", 1)); // silent: drain plus answer
    EXPECT_EQ(GetCapturedStdout(), "");                       // and nothing traced
    EXPECT_TRUE(since(start) >= 0.95 && since(start) < 3.0 && len == 0);
    delete[] reply;
    EXPECT_EQ(pty.receive(9, 100), "\r\nDBG 1\r\n");

    // The answer counts only at the first byte that arrives.
    const unsigned char cnd12[] = "cnd 12";
    const std::pair<const char*, bool> waits[] = {
        {"\r\ncnd 12\r\n", false}, {"xcnd 12", false}, {"cnd 1", false}, {"cnd 12\r\n", true}};
    for (const auto& [said, ok] : waits) {
        SCOPED_TRACE(said);
        ASSERT_TRUE(pty.send(said));
        start = Clock::now();
        CaptureStdout();
        EXPECT_EQ(kivo.waitForResponse(1000, cnd12, 6, nullptr), ok);
        GetCapturedStdout();
        EXPECT_LT(since(start), 3.0);
    }

    pty.hangUp(); // a hung-up line reads as ready and delivers nothing
    start = Clock::now();
    CaptureStdout();
    EXPECT_TRUE(kivo.cmd(reply, len, true, "cnd 12\r\n") && len == 0);
    delete[] reply;
    EXPECT_FALSE(kivo.waitForResponse(120000, cnd12, 6, nullptr));
    EXPECT_FALSE(kivo.ping(3));
    GetCapturedStdout();
    EXPECT_LT(since(start), 10.0);
}
