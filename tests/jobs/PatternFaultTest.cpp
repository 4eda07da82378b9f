// Every fault of the line during a replacement ends at its own step with its own message, within
// the time-outs, with the slot and the preview written exactly up to the failing page.
#include "JobFixture.h"

#include <memory>

namespace {

// The 48 pages of the 64 x 64 picture stand in for a full-screen bitmap: its middle page plays
// the part of page 5000 of 24300. Pages count from 1 over the bitmap, then over the preview.
constexpr unsigned kPreview = KivoSim::kPreviewPages, kSlot = 4;
// A run lasts at most the erase (four console commands of two 500 ms silences, 0.75 s of
// pauses), the one reply time-out that ends it, a little per page, and a margin.
constexpr double kEraseSeconds = 4.75, kReplySeconds = 1.25, kPageSeconds = 0.01, kMargin = 2.0;

enum class Fault { Silent, Corrupt, Late, Cut, LineGone };

// Frames count from the first bitmap page: the erase runs on the console.
KivoSim::Options faultAt(Fault kind, unsigned page) {
    KivoSim::Options o = quickSim();
    KivoSim::Faults& f = o.faults;
    if (kind == Fault::Silent) f.noReplyToFrame = f.silenceAfterFrames = page;
    if (kind == Fault::Corrupt) f.badChecksumReply = page;
    if (kind == Fault::Late) f.lateReply = page, f.lateReplyMs = 1500;
    if (kind == Fault::Cut) f.cutReply = page, f.cutReplyBytes = 6;
    return o;
}

struct Row {
    std::string what;
    Fault fault;
    unsigned page; // the failing page; for LineGone the last one stored before the line drops
};

std::vector<Row> rows() {
    const std::pair<const char*, Fault> faults[] = {{"silence", Fault::Silent},
                                                    {"corrupted reply", Fault::Corrupt},
                                                    {"late reply", Fault::Late},
                                                    {"reply cut short", Fault::Cut}};
    const std::pair<const char*, unsigned> pages[] = {
        {"first bitmap page", 1},
        {"middle bitmap page", kBitmapPages / 2},
        {"last bitmap page", kBitmapPages},
        {"first preview page", kBitmapPages + 1},
        {"middle preview page", kBitmapPages + kPreview / 2},
        {"last preview page", kBitmapPages + kPreview}};
    std::vector<Row> out;
    for (const auto& f : faults)
        for (const auto& p : pages)
            out.push_back({std::string(f.first) + " at " + p.first, f.second, p.second});
    out.push_back({"generator gone mid-way", Fault::LineGone, 16}); // dropped at 31 %
    return out;
}

// The first n pages of data as the generator's flash holds them: unwritten pages stay erased.
std::vector<uint8_t> pagesOf(const QByteArray& data, unsigned n, size_t total) {
    std::vector<uint8_t> out(total, 0xFF);
    std::copy(data.begin(), data.begin() + std::min<int>(data.size(), n * 256), out.begin());
    return out;
}

void check(const Row& row, const SimLink& c) {
    SCOPED_TRACE(row.what);
    const bool inBitmap = row.page <= kBitmapPages;
    const QString message = inBitmap ? QStringLiteral("Couldn't load ") + kName
                                     : QStringLiteral("Error loading LCD Preview");
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.result.step, inBitmap ? JobStep::Bitmap : JobStep::Preview);
    EXPECT_EQ(c.result.message, message);
    // Only a failed bitmap write has a message box; the preview's shows in the status.
    EXPECT_EQ(c.rec.failures(), inBitmap ? QStringList{message} : QStringList());
    EXPECT_EQ(c.rec.statuses().back(),
              inBitmap ? QStringLiteral("Error loading ") + kName : message);
    EXPECT_EQ(c.rec.progress().back(), 100.0);
    EXPECT_LE(c.seconds, kEraseSeconds + kReplySeconds + row.page * kPageSeconds + kMargin);
    // The failing page itself was stored: its request arrived whole, its reply went wrong.
    const unsigned stored = std::min(row.page, kBitmapPages);
    EXPECT_EQ(c.sim.slot(kSlot), pagesOf(patternBitmap(testPicture()), stored, stored * 256));
    EXPECT_EQ(c.sim.lineDropped(), row.fault == Fault::LineGone);
    const auto previews = c.sim.previewIndexes();
    EXPECT_EQ(previews, inBitmap ? std::vector<int>() : std::vector<int>{kSlot + 36});
    const unsigned previewPages = inBitmap ? 0 : row.page - kBitmapPages;
    EXPECT_EQ(inBitmap ? std::vector<uint8_t>() : c.sim.preview(kSlot + 36),
              inBitmap ? std::vector<uint8_t>()
                       : pagesOf(lcdPreview(testPicture()), previewPages, kPreview * 256));
    EXPECT_EQ(c.sim.counters().violations, 0u);
}

} // namespace

TEST(PatternFaults, EachFaultEndsAtItsPage) {
    const std::vector<Row> table = rows();
    std::vector<std::unique_ptr<SimLink>> cases;
    for (const Row& row : table) {
        cases.push_back(std::make_unique<SimLink>(faultAt(row.fault, row.page)));
        SimLink& c = *cases.back();
        ASSERT_TRUE(c.open()) << row.what;
        if (row.fault == Fault::LineGone)
            c.rec.onProgress = [&c](double p) {
                if (c.rec.writing() && p > 30.0 && !c.sim.lineDropped()) c.sim.dropLine();
                return true;
            };
    }
    forEachRowAtOnce(cases.size(), [&](size_t i) {
        SimLink& c = *cases[i];
        c.seconds = secondsOf([&] { c.result = runPattern(c.link, kSlot, c.rec); });
    });
    for (size_t i = 0; i < table.size(); ++i) check(table[i], *cases[i]);

    // Stopped from the progress report: the write ends, no preview follows.
    SimLink stop;
    ASSERT_TRUE(stop.open());
    stop.rec.onProgress = [&stop](double p) { return !(stop.rec.writing() && p > 20.0); };
    const JobResult r = runPattern(stop.link, 3, stop.rec);
    EXPECT_EQ(r.step, JobStep::Bitmap);
    EXPECT_FALSE(r.ok);
    EXPECT_LT(stop.sim.slot(3).size(), size_t(patternBitmap(testPicture()).size()));
    EXPECT_TRUE(stop.sim.previewIndexes().empty());
}
