// The kivo tool's exit status for faults on the line, and its refusal of bad files before
// anything is sent.
#include "jobs/Picture.h"
#include "sim/KivoSim.h"
#include "tests/cli/RunKivo.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TempDir.h"

#include <QImage>

#include <iterator>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr int kFailed = 1, kUsage = 2;
constexpr unsigned kLimitSeconds = 30;         // a run still going then is killed and fails its row
constexpr unsigned kPages = 64 * 64 * 3 / 256; // bitmap pages of the test picture

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using O = KivoSim::Options;
struct Row {
    const char* what;
    void (*setup)(O&);
    bool firmware;
    const char* message; // a line of standard error
};

// Frames count from the verification ping, so bitmap page k is frame k + 1.
const Row kRows[] = {
    // Firmware recovers such a generator; a pattern cannot.
    {"pattern, generator in its bootloader", [](O& o) { o.bootloader = true; }, false,
     "KIVO is in bootloader mode on "},
    {"pattern, silence at a middle page",
     [](O& o) { o.faults.noReplyToFrame = o.faults.silenceAfterFrames = 1 + kPages / 2; }, false,
     "Couldn't load pic.png\n"},
    {"pattern, corrupted reply at the last preview page",
     [](O& o) { o.faults.badChecksumReply = 1 + kPages + KivoSim::kPreviewPages; }, false,
     "Error loading LCD Preview\n"},
    {"firmware, ISP ignored", [](O& o) { o.faults.ignoreIsp = true; }, true,
     "Couldn't Initialize bootloader\n"},
    {"firmware, erase unanswered", [](O& o) { o.faults.silenceOnBootCommand = 0x43; }, true,
     "Couldn't erase flash\n"},
    {"firmware, last chunk NACKed", [](O& o) { o.faults.nackBootWrite = 3; }, true,
     "Couldn't load new firmware\n"},
    {"firmware, Go NACKed", [](O& o) { o.faults.nackGo = true; }, true, "Couldn't reboot KIVO\n"},
};

} // namespace

TEST(KivoFaults, FailuresOnTheLineExitWithOne) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string picture = dir.file("pic.png"), hex = dir.file("fw.hex");
    QImage img(64, 64, QImage::Format_RGB888);
    img.fill(Qt::darkCyan);
    ASSERT_TRUE(img.save(QString::fromStdString(picture)));
    const std::string text = badfiles::block(0x08000000) + badfiles::block(0x08000010) +
                             badfiles::block(0x08000200) + badfiles::record(1, 0, {});
    ASSERT_TRUE(badfiles::put(hex, text)); // three chunks, the last one short

    std::vector<std::unique_ptr<KivoSim>> sims;
    std::vector<kivotest::RunResult> results(std::size(kRows));
    std::vector<std::thread> runs;
    kivotest::RunOptions limit;
    limit.limitSeconds = kLimitSeconds;
    for (const Row& row : kRows) {
        KivoSim::Options o;
        row.setup(o);
        sims.push_back(std::make_unique<KivoSim>(o));
        ASSERT_TRUE(sims.back()->start());
        const std::string port = sims.back()->slavePath();
        const std::vector<std::string> args =
            row.firmware ? std::vector<std::string>{"firmware", port, hex}
                         : std::vector<std::string>{"pattern", port, "4", picture};
        runs.emplace_back(
            [&, args, i = runs.size()] { results[i] = kivotest::runKivo(args, limit); });
    }
    for (auto& t : runs) t.join();
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(kRows[i].what);
        EXPECT_EQ(results[i].status, kFailed) << results[i].err;
        EXPECT_TRUE(contains(results[i].err, kRows[i].message)) << results[i].err;
    }
}

TEST(KivoFaults, BadFilesAreRefusedBeforeAnyTraffic) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    struct Use {
        std::vector<badfiles::BadFile> files;
        std::vector<std::string> args;
    } uses[] = {
        {badfiles::badHexFiles(dir.path()), {"firmware", sim.slavePath()}},
        {badfiles::badPictures(dir.path(), kRawPictureBytes), {"pattern", sim.slavePath(), "0"}}};
    for (const Use& use : uses) {
        for (const badfiles::BadFile& bad : use.files) {
            SCOPED_TRACE(bad.what);
            std::vector<std::string> args = use.args;
            args.push_back(bad.path);
            const kivotest::RunResult r = kivotest::runKivo(args);
            EXPECT_EQ(r.status, kUsage) << r.err;
            EXPECT_TRUE(contains(r.err, "kivo: Couldn't read " + bad.path + ": ")) << r.err;
        }
    }
    EXPECT_EQ(sim.counters().bytesIn, 0u);
}
