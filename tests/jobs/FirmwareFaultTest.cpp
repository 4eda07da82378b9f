// Each failure of the update ends at its own step with its own message, within the time-outs,
// leaving the generator where the failure forces it.
#include "JobFixture.h"
#include "bootloader/Stm32Bootload.h"

#include <QTemporaryDir>

#include <memory>

namespace {

using O = KivoSim::Options;
constexpr size_t kImageBytes = 3 * 256; // first, middle and last chunk
// Pauses of a whole run: the bootloader command's two console silences, the 1 s for the
// generator to restart, 2 s of quiet before the sync byte, 0.5 s after the erase.
constexpr double kPauseSeconds = 4.5, kReply = 2.0, kMargin = 2.0;
const char *const kWrite = "Couldn't load new firmware", *const kErase = "Couldn't erase flash";

struct Row {
    const char* what;
    std::function<void(O&)> setup; // none: the line drops at the report after chunk 2 (33 %),
                                   // or, for the ping, before the run
    JobStep step;
    const char* message;
    size_t flashChunks; // 256-byte chunks of the image found in flash afterwards
    bool inBootloader;
    double waitSeconds; // the time-out that ends the run
};

const Row kRows[] = {
    {"nothing on the port", nullptr, JobStep::Ping, "Couldn't verify KIVO", 0, false,
     3 * 1.25 + 2 * 1.0},
    {"ISP ignored", [](O& o) { o.faults.ignoreIsp = true; }, JobStep::InitBootloader,
     "Couldn't Initialize bootloader", 0, false, kReply},
    {"erase NACKed", [](O& o) { o.faults.nackErase = true; }, JobStep::EraseFlash, kErase, 0, true,
     0},
    {"erase unanswered", [](O& o) { o.faults.silenceOnBootCommand = Stm32Proto::CmdErase; },
     JobStep::EraseFlash, kErase, 0, true, kReply},
    {"first chunk NACKed", [](O& o) { o.faults.nackBootWrite = 1; }, JobStep::WriteFlash, kWrite, 0,
     true, 0},
    {"middle chunk NACKed", [](O& o) { o.faults.nackBootWrite = 2; }, JobStep::WriteFlash, kWrite,
     1, true, 0},
    {"last chunk NACKed", [](O& o) { o.faults.nackBootWrite = 3; }, JobStep::WriteFlash, kWrite, 2,
     true, 0},
    {"silent at first chunk",
     [](O& o) { o.faults.silenceOnBootCommand = Stm32Proto::CmdWriteMemory; }, JobStep::WriteFlash,
     kWrite, 0, true, kReply},
    {"silent at middle chunk", [](O& o) { o.faults.silenceAfterChunks = 1; }, JobStep::WriteFlash,
     kWrite, 1, true, kReply},
    {"silent at last chunk", [](O& o) { o.faults.silenceAfterChunks = 2; }, JobStep::WriteFlash,
     kWrite, 2, true, kReply},
    {"Go NACKed", [](O& o) { o.faults.nackGo = true; }, JobStep::Go, "Couldn't reboot KIVO", 3,
     true, 0},
    {"line gone mid-way", nullptr, JobStep::WriteFlash, kWrite, 2, true, kReply},
};

void check(const Row& row, const SimLink& c, const std::vector<uint8_t>& image) {
    SCOPED_TRACE(row.what);
    const QString message = QString::fromLatin1(row.message);
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.result.step, row.step);
    EXPECT_EQ(c.result.message, message);
    // Once the generator may be in its bootloader, the message says how to bring it back.
    const bool gone = row.step != JobStep::Ping;
    EXPECT_EQ(c.result.advice.isEmpty(), !gone);
    EXPECT_EQ(c.rec.failures(),
              QStringList{gone ? message + QStringLiteral("\n\n") + c.result.advice : message});
    EXPECT_EQ(c.rec.statuses().back(), message);
    EXPECT_EQ(c.rec.progress().back(), 100.0);
    EXPECT_LE(c.seconds, kPauseSeconds + row.waitSeconds + kMargin);
    // The link is given up for the bootloader, or for the probe after an unanswered ping.
    EXPECT_EQ(c.releases, 1);
    EXPECT_EQ(c.link, nullptr);
    const auto flash = c.sim.flash();
    const size_t want = row.flashChunks * 256;
    ASSERT_GE(flash.size(), kImageBytes);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + want, flash.begin()));
    // The chunk after them is not there.
    EXPECT_TRUE(want == kImageBytes || !std::equal(image.begin() + want, image.begin() + want + 256,
                                                   flash.begin() + want));
    EXPECT_EQ(c.sim.inBootloader(), row.inBootloader);
}

} // namespace

TEST(FirmwareFaults, EachFailingStepHasItsMessage) {
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("fw.hex"));
    const auto image = firmwareImage(kImageBytes);
    ASSERT_TRUE(writeHex(hexPath.toStdString(), image));
    std::vector<std::unique_ptr<SimLink>> cases;
    for (const Row& row : kRows) {
        O o;
        if (row.setup) row.setup(o);
        cases.push_back(std::make_unique<SimLink>(o));
        SimLink& c = *cases.back();
        ASSERT_TRUE(c.open()) << row.what;
        if (!row.setup && row.step == JobStep::Ping)
            c.sim.dropLine();
        else if (!row.setup)
            c.rec.onProgress = [&c](double p) {
                if (p > 30.0 && !c.sim.lineDropped()) c.sim.dropLine();
                return true;
            };
    }
    forEachRowAtOnce(cases.size(), [&](size_t i) {
        SimLink& c = *cases[i];
        const FirmwareRequest req = c.firmware(hexPath);
        c.seconds = secondsOf([&] { c.result = runFirmwareJob(req, c.rec.callbacks()); });
    });
    for (size_t i = 0; i < cases.size(); ++i) check(kRows[i], *cases[i], image);
}
