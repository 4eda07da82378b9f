// Every way a replacement ends, one simulated generator per row, the rows side by side: the
// console erase keeps real time, so they wait for it together.
#include "JobFixture.h"

#include <memory>

namespace {

using O = KivoSim::Options;
const QString kInstalled = QStringLiteral("KIVO Pattern has been installed.");

struct Row {
    const char* what;
    unsigned slot;
    std::function<void(O&)> setup;
    std::function<bool(SimLink&, double)> answer; // to the job's progress; null: go on
    JobStep step;                                 // Done when it succeeds
    QString last;                                 // the closing status
    QString box;                                  // the message box, if any
    std::function<void(const SimLink&)> more;
};

void replaced(const SimLink& s) {
    EXPECT_EQ(s.sim.slot(2), bytes(patternBitmap(testPicture())));
    EXPECT_EQ(s.sim.preview(38), bytes(lcdPreview(testPicture())));
    EXPECT_EQ(s.sim.previewIndexes(), std::vector<int>{38});
    EXPECT_EQ(s.rec.statuses, (QStringList{QStringLiteral("Erasing Flash"), kLoading,
                                           kName + QStringLiteral(" Loaded Successfully"),
                                           QStringLiteral("Loading LCD Preview."), kInstalled}));
    // 0 after the erase, before the bitmap; 100 at the end.
    EXPECT_EQ(s.rec.log.value(s.rec.log.indexOf("status " + kLoading) - 1), "progress 0");
    EXPECT_EQ(s.rec.progress.back(), 100.0);
}

// A failed bitmap write (a stop in it is one) leaves no preview; an unconfirmed erase is not fatal;
// a failed preview shows in the status only.
const Row kRows[] = {
    // Longer than the console's 500 ms of silence, so the erase is confirmed through the long
    // wait as on the hardware.
    {"replaced", 2, [](O& o) { o.timings.slotEraseMs = 1500; }, nullptr, JobStep::Done, kInstalled,
     QString(), replaced},
    {"erase never confirmed", 1, [](O& o) { o.faults.eraseNeverConfirmed = true; },
     [](SimLink& s, double) { // the link's clock jumps past its 120 s bound on the erase
         if (!s.rec.writing()) s.time.skipped += std::chrono::seconds(30);
         return true;
     },
     JobStep::Done, kInstalled, QString(),
     [](const SimLink& s) { EXPECT_EQ(s.sim.slot(1), bytes(patternBitmap(testPicture()))); }},
    // No bitmap page goes into a slot whose erase may not have run.
    {"stopped during the erase", 1, nullptr, [](SimLink& s, double) { return s.rec.writing(); },
     JobStep::Erase, QStringLiteral("Stopped while erasing the slot"), QString(),
     [](const SimLink& s) { EXPECT_EQ(s.sim.counters().pagesWritten, 0u); }},
    {"bitmap page refused", 4, [](O& o) { o.faults.badChecksumReply = kBitmapPages / 2; }, nullptr,
     JobStep::Bitmap, "Error loading " + kName, "Couldn't load " + kName,
     [](const SimLink& s) {
         EXPECT_NE(s.sim.slot(4), bytes(patternBitmap(testPicture())));
         EXPECT_TRUE(s.sim.previewIndexes().empty());
     }},
    {"preview page refused", 4,
     [](O& o) { o.faults.badChecksumReply = kBitmapPages + KivoSim::kPreviewPages / 2; }, nullptr,
     JobStep::Preview, QStringLiteral("Error loading LCD Preview"), QString(),
     [](const SimLink& s) {
         EXPECT_EQ(s.sim.slot(4), bytes(patternBitmap(testPicture())));
         EXPECT_EQ(s.sim.previewIndexes(), std::vector<int>{40});
     }},
};

} // namespace

TEST(PatternJob, EachRowEndsAsItShould) {
    std::vector<std::unique_ptr<SimLink>> cases;
    for (const Row& row : kRows) {
        O o = quickSim();
        if (row.setup) row.setup(o);
        cases.push_back(std::make_unique<SimLink>(o));
        SimLink& c = *cases.back();
        ASSERT_TRUE(c.open()) << row.what;
        if (row.answer) c.rec.onProgress = [&c, &row](double p) { return row.answer(c, p); };
    }
    forEachRowAtOnce(cases.size(), [&](size_t i) {
        SimLink& c = *cases[i];
        c.result = runPattern(c.link, kRows[i].slot, c.rec);
    });
    for (size_t i = 0; i < cases.size(); ++i) {
        const Row& row = kRows[i];
        const SimLink& c = *cases[i];
        SCOPED_TRACE(row.what);
        EXPECT_EQ(c.result.ok, row.step == JobStep::Done) << c.result.message.toStdString();
        EXPECT_EQ(c.result.step, row.step);
        const QString message = row.box.isEmpty() ? row.last : row.box;
        EXPECT_EQ(c.result.message, row.step == JobStep::Done ? QString() : message);
        EXPECT_EQ(c.rec.statuses.back(), row.last);
        EXPECT_EQ(c.rec.failures, row.box.isEmpty() ? QStringList() : QStringList{row.box});
        EXPECT_EQ(c.sim.counters().violations, 0u);
        row.more(c);
    }
}

TEST(PatternJob, RefusesBeforeAnyTraffic) {
    SimLink s;
    ASSERT_TRUE(s.open());
    // One pixel wider than a slot's picture: 5764-byte rows run 4320 bytes past the slot.
    const QImage wide(1921, 1080, QImage::Format_RGB32);
    const struct {
        bool link;
        QImage picture;
        unsigned slot;
        JobStep step;
        QString message;
    } rows[] = {
        {false, testPicture(), 0, JobStep::Link,
         QStringLiteral("No verified connection to KIVO. Please verify the serial port again.")},
        {true, QImage(), 0, JobStep::Picture, QStringLiteral("Couldn't read ") + kName},
        {true, testPicture(), 10, JobStep::Picture,
         QStringLiteral("Pattern position must be 0 to 9")},
        {true, wide, 0, JobStep::Picture, pictureTooLarge(wide, kName)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message.toStdString());
        s.rec = JobRecorder();
        s.rec.onProgress = [](double) { return false; }; // a run past a refusal ends at once
        const JobResult r = runPattern(row.link ? s.link : nullptr, row.slot, s.rec, row.picture);
        EXPECT_TRUE(r.refused);
        EXPECT_EQ(r.step, row.step);
        EXPECT_EQ(r.message, row.message);
        EXPECT_EQ(s.rec.failures, QStringList{row.message});
        EXPECT_EQ(s.rec.statuses, QStringList{row.message});
    }
    EXPECT_EQ(s.sim.counters().bytesIn, 0u);
}
