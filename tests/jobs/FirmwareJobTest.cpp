#include "JobFixture.h"
#include "bootloader/Stm32Bootload.h"
#include "jobs/LinkCheck.h"

#include <QTemporaryDir>

#include <memory>

namespace {

using O = KivoSim::Options;
using Counters = KivoSim::Counters;
const QString kHexName = QStringLiteral("fw.hex");
constexpr size_t kImageBytes = 701; // three chunks, the last ending inside a word
constexpr size_t kAnyChunks = ~size_t(0);
const QString kDone = kHexName + QStringLiteral(" Loaded Successfully");
const QString kRecovered = kDone + QStringLiteral(". KIVO has been recovered.");

// The job opens its own link on the port.
void ownLink(SimLink& s, FirmwareRequest& req) {
    s.release();
    req = s.firmware(req.hexPath);
    req.port = s.sim.slavePath();
}

struct Row {
    const char* what;
    std::function<void(O&)> setup;
    std::function<void(SimLink&, FirmwareRequest&)> prepare; // on the row's thread, before it runs
    JobStep step;                                            // Done when it installs
    QString message;   // the failure, or the closing status of a success
    size_t chunks;     // 256-byte chunks of the image found in flash afterwards
    bool inBootloader; // afterwards
    std::function<void(const SimLink&, const Counters& before)> more;
};

const Row kRows[] = {
    {"installed and verified", nullptr, [](SimLink&, FirmwareRequest& req) { req.verify = true; },
     JobStep::Done, kDone, 3, false,
     [](const SimLink& s, const Counters&) {
         const JobRecorder& rec = s.rec;
         EXPECT_EQ(rec.statuses, (QStringList{QStringLiteral("Loading"), "Loading " + kHexName,
                                              "Verifying " + kHexName, kDone}));
         // 0, then before each further chunk, then 100; every pause repeats the last value at
         // least every 50 ms.
         auto p = rec.progress;
         EXPECT_GT(p.size(), 60u); // 3.5 s of pauses and quiet
         p.erase(std::unique(p.begin(), p.end()), p.end());
         EXPECT_EQ(p,
                   (std::vector<double>{0.0, 25600.0 / kImageBytes, 51200.0 / kImageBytes, 100.0}));
         // The link is given back once, after the bootloader command and its pause, before the
         // loader opens.
         const int released = rec.log.indexOf(QStringLiteral("release"));
         EXPECT_GT(released, rec.log.indexOf(QStringLiteral("status Loading")));
         EXPECT_LT(released, rec.log.indexOf("status Loading " + kHexName));
         // The 1 s for the generator to restart and 0.5 s after the erase.
         EXPECT_GE(s.time.skipped, std::chrono::milliseconds(1500));
     }},
    {"plain Erase missing: Extended Erase", [](O& o) { o.bootloaderVersion = 0x31; }, nullptr,
     JobStep::Done, kDone, 3, false, nullptr},
    {"read back differs",
     [](O& o) {
         o.faults.corruptFlash = true;
         o.faults.corruptFlashAddress = kBase + 0x1A3;
     },
     [](SimLink&, FirmwareRequest& req) { req.verify = true; }, JobStep::VerifyFlash,
     "Flash differs from " + kHexName + QStringLiteral(" at 0x080001a3"), kAnyChunks, true,
     nullptr},
    // A generator left in its bootloader answers no ping; the probe finds the bootloader, fresh
    // or synchronised by a run that failed half-way, and the image goes straight to it: nothing
    // but the probe comes first, which a fresh bootloader ACKs and a synchronised one NACKs.
    {"left fresh, the caller's ping unanswered", [](O& o) { o.bootloader = true; },
     [](SimLink& s, FirmwareRequest& req) { req = s.silence(s.sim.slavePath(), req); },
     JobStep::Done, kRecovered, 3, false,
     [](const SimLink& s, const Counters& before) {
         EXPECT_EQ(s.sim.counters().bootNacks, before.bootNacks);
     }},
    {"left mid-write, found by the caller", [](O& o) { o.faults.nackBootWrite = 2; },
     [](SimLink& s, FirmwareRequest& req) {
         EXPECT_EQ(runFirmwareJob(req, s.rec.callbacks()).step, JobStep::WriteFlash);
         s.rec = JobRecorder();
         ownLink(s, req);
         req.inBootloader = true;
     },
     JobStep::Done, kRecovered, 3, false,
     [](const SimLink& s, const Counters& before) {
         EXPECT_EQ(s.sim.counters().bootNacks - before.bootNacks, 1u);
     }},
    {"running its firmware, own link", nullptr, ownLink, JobStep::Done, kDone, 3, false,
     [](const SimLink& s, const Counters& before) {
         EXPECT_EQ(s.sim.counters().consoleLines - before.consoleLines, 1u); // ISP
     }},
    // Each failing step ends the update with its own message.
    {"nothing on the port", nullptr,
     [](SimLink& s, FirmwareRequest& req) { req = s.silence(s.sim.slavePath() + ".gone", req); },
     JobStep::Ping, "Couldn't verify KIVO", 0, false, nullptr},
    {"ISP ignored", [](O& o) { o.faults.ignoreIsp = true; }, nullptr, JobStep::InitBootloader,
     "Couldn't Initialize bootloader", 0, false, nullptr},
    {"erase refused", [](O& o) { o.faults.nackErase = true; }, nullptr, JobStep::EraseFlash,
     "Couldn't erase flash", 0, true, nullptr},
    {"middle chunk refused", [](O& o) { o.faults.nackBootWrite = 2; }, nullptr, JobStep::WriteFlash,
     "Couldn't load new firmware", 1, true, nullptr},
    {"Go refused", [](O& o) { o.faults.nackGo = true; }, nullptr, JobStep::Go,
     "Couldn't reboot KIVO", 3, true, nullptr},
};

void check(const Row& row, const SimLink& c, const Counters& before,
           const std::vector<uint8_t>& image) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(c.result.step, row.step);
    EXPECT_EQ(c.rec.statuses.back(), row.message);
    EXPECT_EQ(c.rec.progress.back(), 100.0);
    EXPECT_EQ(c.rec.log.count(QStringLiteral("release")),
              1); // for the bootloader, or for the probe after an unanswered ping
    EXPECT_EQ(c.sim.inBootloader(), row.inBootloader);
    const auto flash = c.sim.flash();
    const size_t want = std::min(row.chunks * 256, image.size());
    if (row.chunks != kAnyChunks) {
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + want, flash.begin()));
        EXPECT_TRUE(want == image.size() || flash[want] == 0xFF);
    }
    if (row.more) row.more(c, before);
    if (row.message == kRecovered) { // no ping answered, no bootloader command sent
        EXPECT_EQ(c.rec.statuses,
                  (QStringList{QStringLiteral("Loading"),
                               "KIVO is in bootloader mode: installing the firmware recovers it.",
                               "Loading " + kHexName, kRecovered}));
        EXPECT_EQ(c.sim.counters().consoleLines, before.consoleLines);
    }
    if (row.step == JobStep::Done) {
        EXPECT_TRUE(c.rec.failures.isEmpty());
        return;
    }
    EXPECT_EQ(c.result.message, row.message);
    // Once the generator may be in its bootloader, the message says how to bring it back.
    const bool gone = row.step != JobStep::Ping;
    EXPECT_EQ(c.result.advice.isEmpty(), !gone);
    EXPECT_EQ(
        c.rec.failures,
        QStringList{gone ? row.message + QStringLiteral("\n\n") + c.result.advice : row.message});
}

} // namespace

// One simulated generator per row, the rows side by side: the line's quiet before the
// bootloader's sync keeps real time, so they wait for it together.
TEST(FirmwareJob, EachRunEndsAsItShould) {
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(kHexName);
    const auto image = firmwareImage(kImageBytes);
    ASSERT_TRUE(badfiles::put(hexPath.toStdString(), badfiles::hexText(kBase, image)));
    std::vector<std::unique_ptr<SimLink>> cases;
    for (const Row& row : kRows) {
        O o = quickSim();
        if (row.setup) row.setup(o);
        cases.push_back(std::make_unique<SimLink>(o));
        ASSERT_TRUE(cases.back()->open()) << row.what;
    }
    std::vector<Counters> before(cases.size());
    forEachRowAtOnce(cases.size(), [&](size_t i) {
        SimLink& c = *cases[i];
        FirmwareRequest req = c.firmware(hexPath);
        if (kRows[i].prepare) kRows[i].prepare(c, req);
        before[i] = c.sim.counters();
        c.result = runFirmwareJob(req, c.rec.callbacks());
    });
    for (size_t i = 0; i < cases.size(); ++i) check(kRows[i], *cases[i], before[i], image);
}

TEST(FirmwareJob, RefusesBeforeTheBootloaderAndKeepsTheLink) {
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(kHexName);
    SimLink s;
    ASSERT_TRUE(s.open());
    ASSERT_TRUE(badfiles::put(hexPath.toStdString(), badfiles::hexText(kBase, {})));
    std::vector<badfiles::BadFile> rows = {{"no data", hexPath.toStdString()}};
    for (const auto& bad : badfiles::badHexFiles(dir.path().toStdString())) rows.push_back(bad);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        s.rec = JobRecorder();
        FirmwareRequest req = s.firmware(QString::fromStdString(row.path));
        const JobResult r = runFirmwareJob(req, s.rec.callbacks());
        const QString message = QStringLiteral("Couldn't read ") + req.hexPath;
        EXPECT_EQ(r.step, JobStep::ReadFile);
        EXPECT_EQ(r.message, message);
        EXPECT_EQ(s.rec.failures, QStringList{message});
    }
    ASSERT_TRUE(badfiles::put(hexPath.toStdString(), badfiles::hexText(kBase, firmwareImage(64))));
    // No device path to reopen after the bootloader command: the generator never leaves.
    SilentPort nameless;
    for (SerialIo* stream : {static_cast<SerialIo*>(nullptr), static_cast<SerialIo*>(&nameless)}) {
        s.rec = JobRecorder();
        FirmwareRequest req = s.firmware(hexPath);
        req.stream = stream;
        const JobResult p = runFirmwareJob(req, s.rec.callbacks());
        EXPECT_EQ(p.step, JobStep::Port);
        EXPECT_EQ(p.message, QStringLiteral("Couldn't re-initialize Serial Port"));
        EXPECT_EQ(s.rec.failures, QStringList{p.message});
    }
    EXPECT_FALSE(s.sim.inBootloader()); // no bootloader command went out
    ASSERT_NE(s.link, nullptr);         // never released
    // The link still works, and the probe follows only an unanswered ping: the generator gets
    // the ping and nothing else, and the link is kept.
    const uint64_t frames = s.sim.counters().framesReceived;
    bool released = false;
    EXPECT_EQ(checkPort(*s.link, s.stream->devName(), [&] { released = true; }),
              PortState::Generator);
    EXPECT_FALSE(released);
    EXPECT_EQ(s.sim.counters().framesReceived, frames + 1);
}
