// The idle sink: long console waits are sliced so a caller's loop keeps turning, and still end at
// their own deadlines.
#include "device/KivoIo.h"
#include "serial/SIoUnix.h"
#include "tests/support/ScriptedStream.h"
#include "tests/support/TestPty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct CountingSink final : KivoProgress {
    int calls = 0;
    std::chrono::milliseconds stall{0}; // time spent in each call, as a busy event loop takes
    bool progress(double) override {
        ++calls;
        std::this_thread::sleep_for(stall);
        return false; // not heeded: the wait goes on
    }
};

// A silent pty that keeps the time-outs asked of it.
struct SilentLine : SIoUnix {
    std::vector<unsigned> timeouts;
    int readyForRead(unsigned timeoutMs) override {
        timeouts.push_back(timeoutMs);
        return SIoUnix::readyForRead(timeoutMs);
    }
};

double secondsOf(const std::function<void()>& wait) {
    const auto start = Clock::now();
    wait();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

TEST(IdleSink, SilentWaitsAreSlicedAndKeepTheirLength) {
    TestPty pty;
    SilentLine io;
    ASSERT_TRUE(pty.ok() && io.initialize(pty.slavePath.c_str(), SerialIo::Baud115200, 8,
                                          SerialIo::ParityNone, 1));
    KivoIo kivo(io);
    const unsigned char cnd12[] = "cnd 12";
    const std::function<void()> waits[] = {[&] { // a silent cmd: 500 ms drain plus 500 ms answer
                                               unsigned char* reply = nullptr;
                                               unsigned len = 0;
                                               kivo.cmd(reply, len, false, "DBG %d\r\n", 1);
                                               delete[] reply;
                                           },
                                           [&] {
                                               testing::internal::CaptureStdout();
                                               EXPECT_FALSE(
                                                   kivo.waitForResponse(1000, cnd12, 6, nullptr));
                                               testing::internal::GetCapturedStdout();
                                           }};
    // A sink that takes 40 ms a call: were the slices counted, the wait would last about 1.8 s.
    for (const auto stall : {std::chrono::milliseconds(0), std::chrono::milliseconds(40)}) {
        for (const auto& wait : waits) {
            SCOPED_TRACE(stall.count());
            CountingSink sink;
            sink.stall = stall;
            kivo.setIdleSink(&sink);
            io.timeouts.clear();
            const double s = secondsOf(wait);
            EXPECT_GE(sink.calls, 5);
            EXPECT_LE(*std::max_element(io.timeouts.begin(), io.timeouts.end()), 50u);
            EXPECT_GE(s, 0.99);
            EXPECT_LT(s, 1.6);
        }
    }
    // Without a sink the waits stay whole.
    kivo.setIdleSink(nullptr);
    io.timeouts.clear();
    waits[0]();
    EXPECT_EQ(io.timeouts, (std::vector<unsigned>{500, 500}));
}

// A stream that reports each time-out at once must not make a sliced wait spin on the clock.
TEST(IdleSink, InstantTimeOutsEndOnTheirBudget) {
    ScriptedStream io;
    KivoIo kivo(io);
    CountingSink sink;
    kivo.setIdleSink(&sink);
    unsigned char* reply = nullptr;
    unsigned len = 0;
    testing::internal::CaptureStdout();
    const double s = secondsOf([&] { kivo.cmd(reply, len, false, "fpw 7c %02d\r\n", 3); });
    testing::internal::GetCapturedStdout();
    delete[] reply;
    EXPECT_LT(s, 0.5);
    unsigned asked = 0;
    for (unsigned t : io.readyTimeouts) asked += t;
    EXPECT_EQ(asked, 1000u);  // ten 50 ms slices a silence
    EXPECT_LE(sink.calls, 2); // the sink is called by the clock, not once a slice
}
