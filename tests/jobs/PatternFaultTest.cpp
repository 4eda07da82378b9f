// Every fault of the line during a replacement ends at its own step with its own message, within
// the time-outs, with the slot and the preview written exactly up to the failing page.
#include "PatternFixture.h"
#include "jobs/Picture.h"

#include <memory>

#include <gtest/gtest.h>

namespace {

// The 48 pages of the 64 x 64 picture stand in for a full-screen bitmap: its middle page plays
// the part of page 5000 of 24300. Pages count from 1 over the bitmap, then over the preview.
constexpr unsigned kPreview = KivoSim::kPreviewPages;
constexpr unsigned kSlot = 4;
// A run lasts at most the erase (four console commands of two 500 ms silences, 0.75 s of
// pauses), the one reply time-out that ends it, a little per page, and a margin.
constexpr double kEraseSeconds = 4.75, kReplySeconds = 1.25, kPageSeconds = 0.01;
constexpr double kMarginSeconds = 2.0;

enum class Fault { Silent, Corrupt, Late, Cut, LineGone };

KivoSim::Faults faultAt(Fault kind, unsigned page) {
    KivoSim::Faults f; // frames count from the first bitmap page: the erase runs on the console
    if (kind == Fault::Silent) f.noReplyToFrame = f.silenceAfterFrames = page;
    if (kind == Fault::Corrupt) f.badChecksumReply = page;
    if (kind == Fault::Late) f.lateReply = page, f.lateReplyMs = 1500;
    if (kind == Fault::Cut) f.cutReply = page, f.cutReplyBytes = 6;
    return f;
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

struct Case {
    explicit Case(const KivoSim::Options& o) : sim(o) {}
    SimLink sim;
    JobRecorder rec;
    JobResult result;
    double seconds = 0;
};

// The first n pages of data as the generator's flash holds them: unwritten pages stay erased.
std::vector<uint8_t> pagesOf(const QByteArray& data, unsigned n, size_t total) {
    std::vector<uint8_t> out(total, 0xFF);
    std::copy(data.begin(), data.begin() + std::min<int>(data.size(), n * 256), out.begin());
    return out;
}

} // namespace

TEST(PatternFaults, EachFaultEndsAtItsPage) {
    const std::vector<Row> table = rows();
    std::vector<std::unique_ptr<Case>> cases;
    for (const Row& row : table) {
        KivoSim::Options o;
        o.faults = faultAt(row.fault, row.page);
        cases.push_back(std::make_unique<Case>(o));
        ASSERT_TRUE(cases.back()->sim.open()) << row.what;
        if (row.fault != Fault::LineGone) continue;
        Case& c = *cases.back();
        c.rec.onProgress = [&c](double p) {
            const bool writing =
                c.rec.indexOf(JobEvent::Status, QStringLiteral("Loading ") + kName) >= 0;
            if (writing && p > 30.0 && !c.sim.sim.lineDropped()) c.sim.sim.dropLine();
            return true;
        };
    }
    forEachRowAtOnce(cases.size(), [&](size_t i) {
        Case& c = *cases[i];
        c.seconds = secondsOf([&] { c.result = runPattern(c.sim.link, kSlot, c.rec); });
    });

    const QByteArray bitmap = patternBitmap(testPicture()), preview = lcdPreview(testPicture());
    for (size_t i = 0; i < table.size(); ++i) {
        const Row& row = table[i];
        const Case& c = *cases[i];
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
        EXPECT_LE(c.seconds,
                  kEraseSeconds + kReplySeconds + row.page * kPageSeconds + kMarginSeconds);

        // The failing page itself was stored: its request arrived whole, its reply went wrong.
        const unsigned stored = std::min(row.page, kBitmapPages);
        EXPECT_EQ(c.sim.sim.slot(kSlot), pagesOf(bitmap, stored, stored * 256));
        EXPECT_EQ(c.sim.sim.lineDropped(), row.fault == Fault::LineGone);
        if (inBitmap) {
            EXPECT_TRUE(c.sim.sim.previewIndexes().empty());
        } else {
            EXPECT_EQ(c.sim.sim.previewIndexes(), std::vector<int>{kSlot + 36});
            EXPECT_EQ(c.sim.sim.preview(kSlot + 36),
                      pagesOf(preview, row.page - kBitmapPages, kPreview * 256));
        }
        EXPECT_EQ(c.sim.sim.counters().violations, 0u);
    }
}

TEST_F(PatternJobSim, StopFromProgressEndsTheWrite) {
    rec.onProgress = [this](double p) { return !(writing() && p > 20.0); };
    const JobResult r = run(3);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.step, JobStep::Bitmap);
    EXPECT_LT(sim.sim.slot(3).size(), patternBitmap(testPicture()).size());
    EXPECT_TRUE(sim.sim.previewIndexes().empty());
}
