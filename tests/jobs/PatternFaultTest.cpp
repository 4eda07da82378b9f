// A bitmap write that fails or is stopped ends the job before the preview, with the slot
// written up to the failing page.
#include "PatternFixture.h"
#include "jobs/Picture.h"

#include <gtest/gtest.h>
TEST_F(PatternJobSim, FailedBitmapPageStopsBeforePreview) {
    // Page 1 of the bitmap, a middle page and the last page go unanswered.
    for (unsigned page : {1u, kBitmapPages / 2, kBitmapPages}) {
        rec.events.clear();
        KivoSim::Faults f;
        f.noReplyToFrame = page;
        inject(f);
        const JobResult r = run(4);
        EXPECT_FALSE(r.ok) << page;
        EXPECT_EQ(r.step, JobStep::Bitmap) << page;
        EXPECT_EQ(r.message, QStringLiteral("Couldn't load ") + kName);
        EXPECT_EQ(rec.failures(), QStringList{QStringLiteral("Couldn't load ") + kName});
        EXPECT_EQ(rec.statuses().back(), QStringLiteral("Error loading ") + kName);
        EXPECT_FALSE(rec.statuses().contains(QStringLiteral("Loading LCD Preview.")));
        EXPECT_TRUE(sim.sim.previewIndexes().empty());
        // The slot holds exactly the pages before the unanswered one (it may have been stored).
        const size_t written = sim.sim.slot(4).size() / 256;
        EXPECT_GE(written, page - 1) << page;
        EXPECT_LE(written, page) << page;
        EXPECT_EQ(rec.progress().back(), 100.0);
        sim.sim.setFaults(KivoSim::Faults());
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
