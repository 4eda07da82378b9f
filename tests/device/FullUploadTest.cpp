// A whole pattern replacement against the simulated generator: erase slot 2, a 1920 x 1080
// bitmap and its preview, checked on the wire and in the generator's flash.
#include "tests/device/SimLine.h"

TEST(FullUpload, Slot2With1920x1080Bitmap) {
    SimLine line;
    Bytes bitmap(1920 * 1080 * 3), preview(192 * 128 * 2);
    uint32_t x = 1;
    for (Bytes* b : {&bitmap, &preview})
        for (auto& v : *b) v = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    CaptureStdout();
    const bool ok =
        line.kivo.eraseBitmapSlot(2, nullptr) && line.frames.empty() &&
        line.kivo.loadBitmap(bitmap.data(), unsigned(bitmap.size()), nullptr) &&
        line.kivo.loadLcdBitmap(2 + 36, preview.data(), unsigned(preview.size()), nullptr);
    const std::string out = GetCapturedStdout();
    ASSERT_TRUE(ok) << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    EXPECT_EQ(line.console, "\r\n\r\nDBG 1\r\n\r\nfpw 7c 02\r\n\r\ncnd 12\r\n\r\n\r\nDBG 0\r\n");

    // code, length, target, page, flags of each frame
    std::vector<std::tuple<unsigned, size_t, unsigned, unsigned, unsigned>> sent, expected;
    for (const Frame& f : line.frames)
        sent.emplace_back(f.code, f.payload.size(), f.payload.at(0), f.word(1), f.payload.at(3));
    for (unsigned k = 0; k < 24300; ++k)
        expected.emplace_back(0x7878, 260, 0x30, k, k == 24299 ? 0x40 : 0);
    for (unsigned k = 0; k < 192; ++k)
        expected.emplace_back(0x7878, 260, 0x21, 7488 + k, k == 0 ? 0x80 : k == 191 ? 0x40 : 0);
    EXPECT_TRUE(sent == expected);
    EXPECT_TRUE(line.sim.slot(2) == bitmap && line.sim.preview(38) == preview);
    const KivoSim::Counters n = line.sim.counters();
    EXPECT_TRUE(n.violations == 0 && n.slotErases == 1 && !line.sim.debugMode());
}
