// Each failure of the update ends at its own step with its own message, within the time-outs,
// leaving the generator where the failure forces it.
#include "FirmwareFixture.h"
#include "bootloader/Stm32Bootload.h"

namespace {

struct FaultRow {
    const char* what;
    std::function<void(KivoSim::Options&)> setup;
    JobStep step;
    const char* message;
    bool released;      // the link was given up for the bootloader
    size_t flashChunks; // 256-byte chunks of the image found in flash afterwards
    bool inBootloader;
    double waitSeconds; // the time-out that ends the run
};

constexpr size_t kImageBytes = 3 * 256; // first, middle and last chunk
// Pauses of a whole run: the bootloader command's two console silences, the 1 s for the
// generator to restart, 2 s of quiet before the sync byte, 0.5 s after the erase.
constexpr double kPauseSeconds = 4.5, kReplySeconds = 2.0, kMarginSeconds = 2.0;

struct Case {
    explicit Case(const KivoSim::Options& o) : sim(o) {}
    SimLink sim;
    JobRecorder rec;
    int releases = 0;
    JobResult result;
    double seconds = 0;
};

} // namespace

TEST_F(FirmwareJobSim, EachFailingStepHasItsMessage) {
    using O = KivoSim::Options;
    const FaultRow rows[] = {
        {"ping unanswered", [](O& o) { o.bootloader = true; }, JobStep::Ping,
         "Couldn't verify KIVO", false, 0, true, 3 * 1.25},
        {"ISP ignored", [](O& o) { o.faults.ignoreIsp = true; }, JobStep::InitBootloader,
         "Couldn't Initialize bootloader", true, 0, false, kReplySeconds},
        {"erase NACKed", [](O& o) { o.faults.nackErase = true; }, JobStep::EraseFlash,
         "Couldn't erase flash", true, 0, true, 0},
        {"erase unanswered", [](O& o) { o.faults.silenceOnBootCommand = Stm32Proto::CmdErase; },
         JobStep::EraseFlash, "Couldn't erase flash", true, 0, true, kReplySeconds},
        {"first chunk NACKed", [](O& o) { o.faults.nackBootWrite = 1; }, JobStep::WriteFlash,
         "Couldn't load new firmware", true, 0, true, 0},
        {"middle chunk NACKed", [](O& o) { o.faults.nackBootWrite = 2; }, JobStep::WriteFlash,
         "Couldn't load new firmware", true, 1, true, 0},
        {"last chunk NACKed", [](O& o) { o.faults.nackBootWrite = 3; }, JobStep::WriteFlash,
         "Couldn't load new firmware", true, 2, true, 0},
        {"silent at first chunk",
         [](O& o) { o.faults.silenceOnBootCommand = Stm32Proto::CmdWriteMemory; },
         JobStep::WriteFlash, "Couldn't load new firmware", true, 0, true, kReplySeconds},
        {"silent at middle chunk", [](O& o) { o.faults.silenceAfterChunks = 1; },
         JobStep::WriteFlash, "Couldn't load new firmware", true, 1, true, kReplySeconds},
        {"silent at last chunk", [](O& o) { o.faults.silenceAfterChunks = 2; }, JobStep::WriteFlash,
         "Couldn't load new firmware", true, 2, true, kReplySeconds},
        {"Go NACKed", [](O& o) { o.faults.nackGo = true; }, JobStep::Go, "Couldn't reboot KIVO",
         true, 3, true, 0},
        // The line drops at the progress report after the second chunk (it tells 33 %).
        {"line gone mid-way", nullptr, JobStep::WriteFlash, "Couldn't load new firmware", true, 2,
         true, kReplySeconds},
    };
    const auto image = firmwareImage(kImageBytes);
    ASSERT_TRUE(writeHex(image));
    std::vector<std::unique_ptr<Case>> cases;
    for (const FaultRow& row : rows) {
        KivoSim::Options o;
        if (row.setup) row.setup(o);
        cases.push_back(std::make_unique<Case>(o));
        Case& c = *cases.back();
        ASSERT_TRUE(c.sim.open()) << row.what;
        if (!row.setup)
            c.rec.onProgress = [&c](double p) {
                if (p > 30.0 && !c.sim.sim.lineDropped()) c.sim.sim.dropLine();
                return true;
            };
    }
    forEachRowAtOnce(cases.size(), [&](size_t i) {
        Case& c = *cases[i];
        const FirmwareRequest req = firmwareRequest(hexPath, c.sim, c.rec, c.releases);
        c.seconds = secondsOf([&] { c.result = runFirmwareJob(req, c.rec.callbacks()); });
    });

    for (size_t i = 0; i < cases.size(); ++i) {
        const FaultRow& row = rows[i];
        const Case& c = *cases[i];
        SCOPED_TRACE(row.what);
        const QString message = QString::fromLatin1(row.message);
        EXPECT_FALSE(c.result.ok);
        EXPECT_EQ(c.result.step, row.step);
        EXPECT_EQ(c.result.message, message);
        EXPECT_EQ(c.rec.failures(), QStringList{message});
        EXPECT_EQ(c.rec.statuses().back(), message);
        EXPECT_EQ(c.rec.progress().back(), 100.0);
        EXPECT_LE(c.seconds, kPauseSeconds + row.waitSeconds + kMarginSeconds);
        EXPECT_EQ(c.releases, row.released ? 1 : 0);
        if (!row.released) {
            EXPECT_NE(c.sim.link, nullptr);
        }

        const auto flash = c.sim.sim.flash();
        const size_t want = row.flashChunks * 256;
        ASSERT_GE(flash.size(), kImageBytes);
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + want, flash.begin()));
        if (want < kImageBytes) {
            EXPECT_FALSE(
                std::equal(image.begin() + want, image.begin() + want + 256, flash.begin() + want));
        }
        EXPECT_EQ(c.sim.sim.inBootloader(), row.inBootloader);
    }
}
