// A whole pattern replacement against the simulated generator: erase slot 2, a 1920 x 1080
// bitmap and its preview, checked on the wire and in the generator's flash.
#include "device/KivoIo.h"
#include "serial/SIoUnix.h"
#include "sim/KivoSim.h"
#include "tests/device/Frames.h"
#include "tests/device/TapStream.h"

#include <gtest/gtest.h>

#include <string>

using frames::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct CountingSink : KivoProgress {
    unsigned calls = 0;
    double last = -1;
    bool progress(double percent) override {
        ++calls;
        last = percent;
        return true;
    }
};

Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = uint8_t(x >> 16);
    }
    return b;
}

} // namespace

TEST(FullUpload, Slot2With1920x1080Bitmap) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    SIoUnix port;
    ASSERT_TRUE(
        port.initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    TapStream tap(port);
    KivoIo kivo(tap);

    const Bytes bitmap = pattern(1920 * 1080 * 3, 1);
    const Bytes preview = pattern(192 * 128 * 2, 2);
    CountingSink sink;
    CaptureStdout();
    const bool erased = kivo.eraseBitmapSlot(2, &sink);
    const size_t consoleEnd = tap.written.size();
    const bool bitmapOk = erased && kivo.loadBitmap(bitmap.data(), unsigned(bitmap.size()), &sink);
    const bool previewOk =
        bitmapOk && kivo.loadLcdBitmap(2 + 36, preview.data(), unsigned(preview.size()), &sink);
    const std::string out = GetCapturedStdout();
    ASSERT_TRUE(erased && bitmapOk && previewOk)
        << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);

    frames::Wire console =
        frames::parse(Bytes(tap.written.begin(), tap.written.begin() + consoleEnd));
    EXPECT_TRUE(console.frames.empty());
    EXPECT_EQ(console.console, "\r\n\r\nDBG 1\r\n\r\nfpw 7c 02\r\n\r\ncnd 12\r\n\r\n\r\nDBG 0\r\n");

    frames::Wire w = frames::parse(Bytes(tap.written.begin() + consoleEnd, tap.written.end()));
    EXPECT_TRUE(w.console.empty());
    ASSERT_EQ(w.frames.size(), 24300u + 192u);
    for (size_t k = 0; k < w.frames.size(); ++k) {
        const auto& f = w.frames[k];
        const bool isBitmap = k < 24300;
        const unsigned page = f.payload[1] | (f.payload[2] << 8);
        const unsigned want = isBitmap ? unsigned(k) : unsigned(7488 + k - 24300);
        const unsigned flags = isBitmap ? (k == 24299 ? 0x40 : 0)
                                        : (k == 24300                 ? 0x80
                                           : k == w.frames.size() - 1 ? 0x40
                                                                      : 0);
        if (f.code != 0x7878 || !f.checksumOk || f.payload.size() != 260 ||
            f.payload[0] != (isBitmap ? 0x30 : 0x21) || page != want || f.payload[3] != flags) {
            ADD_FAILURE() << "frame " << k << " page " << page << " flags " << int(f.payload[3]);
            break;
        }
    }

    EXPECT_TRUE(sim.slot(2) == bitmap);
    EXPECT_TRUE(sim.preview(38) == preview);
    const std::vector<std::string> lines = sim.consoleLines();
    EXPECT_EQ(lines, std::vector<std::string>({"DBG 1", "fpw 7c 02", "cnd 12", "DBG 0"}));
    EXPECT_EQ(sim.counters().violations, 0u);
    EXPECT_EQ(sim.counters().slotErases, 1u);
    EXPECT_FALSE(sim.debugMode());
    EXPECT_GT(sink.calls, 24300u / 5);
}
