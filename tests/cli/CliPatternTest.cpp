// pattern through the kivo binary, checked in the simulators' pattern store.
#include "RunKivo.h"

#include "jobs/Picture.h"
#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

using kivotest::runKivo;
using kivotest::RunResult;
using kivotest::TempDir;

namespace {

constexpr int kOk = 0, kFailed = 1;
bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class PatternTest : public ::testing::Test {
protected:
    std::string picture(int w, int h) {
        QImage img(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                img.setPixelColor(x, y, QColor((x * 40) & 0xFF, (y * 60) & 0xFF, (x + y) & 0xFF));
        std::string path = dir.path("pic.png");
        img.save(QString::fromStdString(path));
        return path;
    }
    TempDir dir;
};

TEST_F(PatternTest, SmallPictureReachesSlotAndPreview) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    std::string path = picture(21, 10);
    RunResult r = runKivo({"pattern", sim.slavePath(), "3", path});
    ASSERT_EQ(r.status, kOk) << r.err;
    QImage loaded = loadPicture(QString::fromStdString(path));
    QByteArray bitmap = patternBitmap(loaded), preview = lcdPreview(loaded);
    std::vector<uint8_t> slot = sim.slot(3);
    ASSERT_GE(slot.size(), size_t(bitmap.size()));
    EXPECT_EQ(std::string(slot.begin(), slot.begin() + bitmap.size()), bitmap.toStdString());
    std::vector<uint8_t> shown = sim.preview(39);
    EXPECT_EQ(std::string(shown.begin(), shown.end()), preview.toStdString());
    EXPECT_EQ(sim.counters().violations, 0u);
    for (const char* status :
         {"Erasing Flash\n", "Loading pic.png\n", "pic.png Loaded Successfully\n",
          "Loading LCD Preview.\n", "KIVO Pattern has been installed.\n"})
        EXPECT_TRUE(contains(r.err, status)) << status << r.err;
}

TEST_F(PatternTest, FailedBitmapWriteNamesTheFile) {
    KivoSim::Options o;
    o.faults.silenceAfterFrames = 2; // the ping and the first page are answered, then nothing
    KivoSim sim(o);
    ASSERT_TRUE(sim.start());
    RunResult r = runKivo({"pattern", sim.slavePath(), "0", picture(40, 20)});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.err, "Couldn't load pic.png\n")) << r.err;
    EXPECT_TRUE(sim.preview(36).empty() || sim.previewIndexes().empty());
}

TEST_F(PatternTest, FailedPreviewWriteIsReported) {
    // 21 x 10 pixels: rows of 64 bytes, 640 bytes, three pages; the ping and those three are
    // answered, and the first preview page too, then the generator falls silent.
    KivoSim::Options o;
    o.faults.silenceAfterFrames = 5;
    KivoSim sim(o);
    ASSERT_TRUE(sim.start());
    RunResult r = runKivo({"pattern", sim.slavePath(), "4", picture(21, 10)});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.err, "pic.png Loaded Successfully\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Error loading LCD Preview\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "Couldn't load")) << r.err;
}

TEST_F(PatternTest, InProcessSimulatorAndTwoPorts) {
    std::string path = picture(8, 8);
    RunResult one = runKivo({"pattern", "sim", "9", path});
    EXPECT_EQ(one.status, kOk) << one.err;
    KivoSim a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    RunResult two = runKivo({"pattern", a.slavePath() + "," + b.slavePath(), "5", path});
    ASSERT_EQ(two.status, kOk) << two.err;
    EXPECT_EQ(a.slot(5), b.slot(5));
    EXPECT_FALSE(a.slot(5).empty());
    EXPECT_EQ(a.previewIndexes(), std::vector<int>{41});
}

} // namespace
