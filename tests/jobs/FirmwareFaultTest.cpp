// Each failure of the update ends at its own step with its own message, leaving the generator
// where the failure forces it.
#include "FirmwareFixture.h"

namespace {

struct FaultRow {
    const char* what;
    std::function<void(KivoSim::Options&)> setup;
    JobStep step;
    const char* message;
    bool released;      // the link was given up for the bootloader
    size_t flashChunks; // 256-byte chunks of the image found in flash afterwards
    bool inBootloader;
};

constexpr size_t kImageBytes = 3 * 256;

} // namespace

TEST_F(FirmwareJobSim, EachFailingStepHasItsMessage) {
    const FaultRow rows[] = {
        {"ping unanswered", [](KivoSim::Options& o) { o.bootloader = true; }, JobStep::Ping,
         "Couldn't verify KIVO", false, 0, true},
        {"ISP ignored", [](KivoSim::Options& o) { o.faults.ignoreIsp = true; },
         JobStep::InitBootloader, "Couldn't Initialize bootloader", true, 0, false},
        {"erase NACKed", [](KivoSim::Options& o) { o.faults.nackErase = true; },
         JobStep::EraseFlash, "Couldn't erase flash", true, 0, true},
        {"second chunk NACKed", [](KivoSim::Options& o) { o.faults.nackBootWrite = 2; },
         JobStep::WriteFlash, "Couldn't load new firmware", true, 1, true},
        {"silent after first chunk", [](KivoSim::Options& o) { o.faults.silenceAfterChunks = 1; },
         JobStep::WriteFlash, "Couldn't load new firmware", true, 1, true},
        {"Go NACKed", [](KivoSim::Options& o) { o.faults.nackGo = true; }, JobStep::Go,
         "Couldn't reboot KIVO", true, 3, true},
    };
    const auto image = firmwareImage(kImageBytes);
    for (const FaultRow& row : rows) {
        reopen(row.setup);
        ASSERT_TRUE(writeHex(image));
        rec.events.clear();
        const JobResult r = run(request());
        const QString message = QString::fromLatin1(row.message);
        EXPECT_FALSE(r.ok) << row.what;
        EXPECT_EQ(r.step, row.step) << row.what;
        EXPECT_EQ(r.message, message) << row.what;
        EXPECT_EQ(rec.failures(), QStringList{message}) << row.what;
        EXPECT_EQ(rec.statuses().back(), message) << row.what;
        EXPECT_EQ(rec.progress().back(), 100.0) << row.what;
        EXPECT_EQ(releases, row.released ? 1 : 0) << row.what;
        if (!row.released) {
            EXPECT_NE(sim->link, nullptr) << row.what;
        }

        const auto flash = sim->sim.flash();
        const size_t want = row.flashChunks * 256;
        ASSERT_GE(flash.size(), kImageBytes) << row.what;
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + want, flash.begin())) << row.what;
        if (want < kImageBytes) {
            EXPECT_FALSE(
                std::equal(image.begin() + want, image.begin() + want + 256, flash.begin() + want))
                << row.what;
        }
        EXPECT_EQ(sim->sim.inBootloader(), row.inBootloader) << row.what;
    }
}
