#include "PatternFixture.h"
#include "jobs/Picture.h"

#include <gtest/gtest.h>

TEST_F(PatternJobSim, ReplacesSlotAndPreview) {
    const JobResult r = run(2);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.step, JobStep::Done);
    EXPECT_TRUE(r.message.isEmpty());

    EXPECT_EQ(sim.sim.slot(2), bytes(patternBitmap(testPicture())));
    EXPECT_EQ(sim.sim.preview(38), bytes(lcdPreview(testPicture())));
    EXPECT_EQ(sim.sim.previewIndexes(), std::vector<int>{38});
    EXPECT_EQ(sim.sim.counters().violations, 0u) << sim.sim.violationLog().size();

    const QStringList want = {QStringLiteral("Erasing Flash"), QStringLiteral("Loading ") + kName,
                              kName + QStringLiteral(" Loaded Successfully"),
                              QStringLiteral("Loading LCD Preview."),
                              QStringLiteral("KIVO Pattern has been installed.")};
    EXPECT_EQ(rec.statuses(), want);
    EXPECT_TRUE(rec.failures().isEmpty());
    // 0 after the erase, 100 after the bitmap, 0 before and 100 after the preview.
    const auto p = rec.progress();
    const int loading = rec.indexOf(JobEvent::Status, QStringLiteral("Loading ") + kName);
    ASSERT_GT(loading, 0);
    EXPECT_EQ(rec.events[loading - 1].kind, JobEvent::Progress);
    EXPECT_EQ(rec.events[loading - 1].percent, 0.0);
    ASSERT_GE(p.size(), 4u);
    EXPECT_EQ(p.back(), 100.0);

    const auto lines = sim.sim.consoleLines();
    std::vector<std::string> erase;
    for (const auto& l : lines)
        if (!l.empty()) erase.push_back(l);
    EXPECT_EQ(erase, (std::vector<std::string>{"DBG 1", "fpw 7c 02", "cnd 12", "DBG 0"}));
}

TEST_F(PatternJobSim, RefusesBeforeAnyTraffic) {
    struct Row {
        const char* what;
        bool link;
        QImage picture;
        unsigned slot;
        JobStep step;
        QString message;
    };
    const Row rows[] = {
        {"no link", false, testPicture(), 0, JobStep::Link,
         QStringLiteral("No verified connection to KIVO. Please verify the serial port again.")},
        {"empty picture", true, QImage(), 0, JobStep::Picture,
         QStringLiteral("Couldn't read ") + kName},
        {"position 10", true, testPicture(), 10, JobStep::Picture,
         QStringLiteral("Pattern position must be 0 to 9")},
    };
    for (const Row& row : rows) {
        rec.events.clear();
        PatternRequest req;
        req.link = row.link ? sim.link : nullptr;
        req.slot = row.slot;
        req.picture = row.picture;
        req.path = kPath;
        const JobResult r = runPatternJob(req, rec.callbacks());
        EXPECT_FALSE(r.ok) << row.what;
        EXPECT_EQ(r.step, row.step) << row.what;
        EXPECT_EQ(r.message, row.message) << row.what;
        EXPECT_EQ(rec.failures(), QStringList{row.message}) << row.what;
        EXPECT_EQ(rec.statuses(), QStringList{row.message}) << row.what;
    }
    const auto c = sim.sim.counters();
    EXPECT_EQ(c.bytesIn, 0u);
    EXPECT_EQ(c.slotErases, 0u);
}

TEST_F(PatternJobSim, UnconfirmedEraseStillWritesTheBitmap) {
    KivoSim::Faults f;
    f.eraseNeverConfirmed = true;
    sim.sim.setFaults(f);
    // Stop the 120 s wait for the erase; the writes that follow are never stopped.
    rec.onProgress = [this](double) { return writing(); };
    const JobResult r = run(1);
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_EQ(sim.sim.slot(1), bytes(patternBitmap(testPicture())));
    EXPECT_EQ(rec.statuses().back(), QStringLiteral("KIVO Pattern has been installed."));
}
