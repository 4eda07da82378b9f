#include "JobFixture.h"

class PatternJobSim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(s.open()); }
    // Longer than the console's 500 ms of silence, so the erase is confirmed through the long
    // wait as on the hardware (whose 8 s would add nothing but time).
    SimLink s{[] {
        KivoSim::Options o = quickSim();
        o.timings.slotEraseMs = 1500;
        return o;
    }()};
};

TEST_F(PatternJobSim, ReplacesSlotAndPreview) {
    const JobResult r = runPattern(s.link, 2, s.rec);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.step, JobStep::Done);
    EXPECT_EQ(s.sim.slot(2), bytes(patternBitmap(testPicture())));
    EXPECT_EQ(s.sim.preview(38), bytes(lcdPreview(testPicture())));
    EXPECT_EQ(s.sim.previewIndexes(), std::vector<int>{38});
    EXPECT_EQ(s.sim.counters().violations, 0u);
    EXPECT_EQ(s.rec.statuses(), (QStringList{QStringLiteral("Erasing Flash"), kLoading,
                                             kName + QStringLiteral(" Loaded Successfully"),
                                             QStringLiteral("Loading LCD Preview."),
                                             QStringLiteral("KIVO Pattern has been installed.")}));
    EXPECT_TRUE(s.rec.failures().isEmpty());
    // 0 after the erase, before the bitmap; 100 at the end.
    const int loading = s.rec.indexOf(JobEvent::Status, kLoading);
    ASSERT_GT(loading, 0);
    EXPECT_EQ(s.rec.events[loading - 1].kind, JobEvent::Progress);
    EXPECT_EQ(s.rec.events[loading - 1].percent, 0.0);
    EXPECT_EQ(s.rec.progress().back(), 100.0);
    std::vector<std::string> erase;
    for (const auto& l : s.sim.consoleLines())
        if (!l.empty()) erase.push_back(l);
    EXPECT_EQ(erase, (std::vector<std::string>{"DBG 1", "fpw 7c 02", "cnd 12", "DBG 0"}));
}

TEST_F(PatternJobSim, RefusesBeforeAnyTraffic) {
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
        // One pixel wider than a slot's picture: 5764-byte rows run 4320 bytes past the slot.
        {true, QImage(1921, 1080, QImage::Format_RGB32), 0, JobStep::Picture,
         kName + QStringLiteral(" is too large for a pattern slot: 1921 x 1080 needs 6225120 "
                                "bytes, a slot holds 6220800 bytes (1920 x 1080)")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message.toStdString());
        s.rec.events.clear();
        const JobResult r = runPattern(row.link ? s.link : nullptr, row.slot, s.rec, row.picture);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.refused);
        EXPECT_EQ(r.step, row.step);
        EXPECT_EQ(r.message, row.message);
        EXPECT_EQ(s.rec.failures(), QStringList{row.message});
        EXPECT_EQ(s.rec.statuses(), QStringList{row.message});
    }
    EXPECT_EQ(s.sim.counters().bytesIn, 0u);
    EXPECT_EQ(s.sim.counters().slotErases, 0u);
}

TEST_F(PatternJobSim, UnconfirmedEraseStillWritesTheBitmap) {
    KivoSim::Faults f;
    f.eraseNeverConfirmed = true;
    s.sim.setFaults(f);
    // The link's clock jumps ahead while it waits for the erase, so its 120 s bound ends at once.
    struct SkipAhead final : TimeSource {
        Clock::duration offset{};
        Clock::time_point now() override { return Clock::now() + offset; }
        void sleepFor(std::chrono::microseconds d) override { std::this_thread::sleep_for(d); }
    } clock;
    s.link->setTimeSource(clock);
    s.rec.onProgress = [&](double) {
        const auto lines = s.sim.consoleLines();
        if (std::find(lines.begin(), lines.end(), "cnd 12") != lines.end() && !s.rec.writing())
            clock.offset += std::chrono::seconds(30);
        return true;
    };
    const JobResult r = runPattern(s.link, 1, s.rec);
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_EQ(s.sim.slot(1), bytes(patternBitmap(testPicture())));
    EXPECT_EQ(s.rec.statuses().back(), QStringLiteral("KIVO Pattern has been installed."));
}

// A stop during the erase ends the job: no bitmap page goes into a slot that may not be erased.
TEST_F(PatternJobSim, StopDuringEraseSendsNoBitmap) {
    s.rec.onProgress = [&](double) { return s.rec.writing(); };
    const JobResult r = runPattern(s.link, 1, s.rec);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.step, JobStep::Erase);
    EXPECT_EQ(s.sim.counters().pagesWritten, 0u);
}
