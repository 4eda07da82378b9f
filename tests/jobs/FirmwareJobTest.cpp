#include "JobFixture.h"
#include "bootloader/Stm32Bootload.h"
#include "jobs/LinkCheck.h"
#include "tests/support/ScriptedStream.h"

#include <QTemporaryDir>

#include <memory>

namespace {

const QString kHexName = QStringLiteral("fw.hex");

class NamelessStream : public ScriptedStream {
public:
    const char* devName() override { return ""; }
};

class FirmwareJobSim : public ::testing::Test {
protected:
    void SetUp() override {
        reopen([](KivoSim::Options&) {});
    }
    void reopen(const std::function<void(KivoSim::Options&)>& tweak) {
        KivoSim::Options o = quickSim();
        tweak(o);
        s.reset();
        s = std::make_unique<SimLink>(o);
        ASSERT_TRUE(s->open());
    }
    bool writeImage(const std::vector<uint8_t>& image) {
        return writeHex(hexPath.toStdString(), image);
    }
    JobResult run(const FirmwareRequest& req) { return runFirmwareJob(req, s->rec.callbacks()); }
    bool consoleSaw(const std::string& line) const {
        const auto lines = s->sim.consoleLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    QTemporaryDir dir;
    const QString hexPath = dir.filePath(kHexName);
    std::unique_ptr<SimLink> s;
};

} // namespace

// On the hardware's timings; an image that ends inside a word.
TEST_F(FirmwareJobSim, InstallsImageAndStartsIt) {
    reopen([](KivoSim::Options& o) { o.timings = KivoSim::Timings(); });
    const auto image = firmwareImage(298);
    ASSERT_TRUE(writeImage(image));
    const JobResult r = run(s->firmware(hexPath));
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_EQ(r.step, JobStep::Done);
    EXPECT_TRUE(s->flashStartsWith(image));
    EXPECT_FALSE(s->sim.inBootloader()); // Go started the new firmware
    const JobRecorder& rec = s->rec;
    EXPECT_EQ(rec.statuses(), (QStringList{QStringLiteral("Loading"), "Loading " + kHexName,
                                           kHexName + QStringLiteral(" Loaded Successfully")}));
    EXPECT_TRUE(rec.failures().isEmpty());
    // Two chunks: 0 before the first, 85.91 before the second, then 100 at the end; every wait
    // between repeats the last value.
    auto p = rec.progress();
    EXPECT_GT(p.size(), 20u); // at least one repeat per 50 ms of the 3 s of pauses
    p.erase(std::unique(p.begin(), p.end()), p.end());
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0], 0.0);
    EXPECT_NEAR(p[1], 25600.0 / 298.0, 1e-9);
    EXPECT_EQ(p[2], 100.0);
    // The link is given back once, after the bootloader command and before the loader opens.
    EXPECT_EQ(s->releases, 1);
    const int released = rec.indexOf(JobEvent::Release);
    EXPECT_GT(released, rec.indexOf(JobEvent::Status, QStringLiteral("Loading")));
    EXPECT_LT(released, rec.indexOf(JobEvent::Status, "Loading " + kHexName));
    EXPECT_TRUE(consoleSaw("ISP 32 1"));
}

TEST_F(FirmwareJobSim, RefusesBeforeAnyTraffic) {
    ASSERT_TRUE(writeImage({}));
    std::vector<badfiles::BadFile> rows = {{"no data", hexPath.toStdString()}};
    for (const auto& bad : badfiles::badHexFiles(dir.path().toStdString())) rows.push_back(bad);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        s->rec.events.clear();
        FirmwareRequest req = s->firmware(QString::fromStdString(row.path));
        const JobResult r = run(req);
        const QString message = QStringLiteral("Couldn't read ") + req.hexPath;
        EXPECT_EQ(r.step, JobStep::ReadFile);
        EXPECT_EQ(r.message, message);
        EXPECT_EQ(s->rec.failures(), QStringList{message});
        EXPECT_EQ(s->rec.statuses(), QStringList{message});
        EXPECT_EQ(s->rec.progress(), std::vector<double>{100.0});
    }
    ASSERT_TRUE(writeImage(firmwareImage(64)));
    s->rec.events.clear();
    FirmwareRequest req = s->firmware(hexPath);
    req.link = nullptr;
    req.stream = nullptr; // and no port: nothing to ping, nothing to probe
    const JobResult r = run(req);
    EXPECT_EQ(r.step, JobStep::Ping);
    EXPECT_EQ(r.message, QStringLiteral("Couldn't verify KIVO"));
    EXPECT_EQ(s->rec.statuses(), (QStringList{QStringLiteral("Loading"), r.message}));
    EXPECT_EQ(s->sim.counters().bytesIn, 0u);
    // No device path to reopen after the bootloader command: the generator never leaves.
    NamelessStream nameless;
    for (SerialIo* stream : {static_cast<SerialIo*>(nullptr), static_cast<SerialIo*>(&nameless)}) {
        s->rec.events.clear();
        req = s->firmware(hexPath);
        req.stream = stream;
        const JobResult p = run(req);
        EXPECT_EQ(p.step, JobStep::Port);
        EXPECT_EQ(p.message, QStringLiteral("Couldn't re-initialize Serial Port"));
        EXPECT_EQ(s->rec.failures(), QStringList{p.message});
    }
    EXPECT_FALSE(consoleSaw("ISP 32 1"));
    EXPECT_FALSE(s->sim.inBootloader());
    EXPECT_EQ(s->releases, 0);
    EXPECT_TRUE(s->link->ping(1)); // the link still works
}

TEST_F(FirmwareJobSim, VerifyReadsBackAndNamesFirstDifferingAddress) {
    for (bool corrupt : {false, true}) {
        reopen([corrupt](KivoSim::Options& o) {
            o.faults.corruptFlash = corrupt;
            o.faults.corruptFlashAddress = kBase + 0x1A3;
        });
        ASSERT_TRUE(writeImage(firmwareImage(701))); // ends inside a word: 0xFF after it
        FirmwareRequest req = s->firmware(hexPath);
        req.verify = true;
        const JobResult r = run(req);
        EXPECT_TRUE(s->rec.statuses().contains("Verifying " + kHexName));
        EXPECT_EQ(s->sim.inBootloader(), corrupt); // a bad image is never started
        if (!corrupt) {
            EXPECT_TRUE(r.ok) << r.message.toStdString();
            continue;
        }
        EXPECT_EQ(r.step, JobStep::VerifyFlash);
        EXPECT_EQ(r.message, "Flash differs from " + kHexName + QStringLiteral(" at 0x080001a3"));
    }
}

TEST_F(FirmwareJobSim, ExtendedEraseWhenPlainEraseIsMissing) {
    reopen([](KivoSim::Options& o) { o.bootloaderVersion = 0x31; }); // no plain Erase
    const auto image = firmwareImage(256);
    ASSERT_TRUE(writeImage(image));
    const JobResult r = run(s->firmware(hexPath));
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_TRUE(s->flashStartsWith(image));
}

// A generator left in its bootloader answers no ping; the probe finds the bootloader, fresh or
// synchronised by a run that failed half-way, and the image goes straight to it. The probe
// only follows an unanswered ping: a generator in its own firmware gets ping, then ISP.
TEST_F(FirmwareJobSim, RecoversTheBootloaderLeftOnThePort) {
    const auto image = firmwareImage(600);
    ASSERT_TRUE(writeImage(image));
    const QString recovering =
        QStringLiteral("KIVO is in bootloader mode: installing the firmware recovers it.");
    const QString recovered =
        kHexName + QStringLiteral(" Loaded Successfully. KIVO has been recovered.");
    enum Left { Fresh, MidWrite, Running };
    const struct {
        const char* what;
        Left left;
        bool viaLink;      // the caller's link pings first; else the job opens its own
        bool inBootloader; // the caller found the bootloader (no ping at all)
    } rows[] = {{"fresh, after the caller's ping", Fresh, true, false},
                {"fresh, found by the caller", Fresh, false, true},
                {"synchronised mid-write, own ping", MidWrite, false, false},
                {"synchronised mid-write, found by the caller", MidWrite, false, true},
                {"running its firmware, own ping", Running, false, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        reopen([&](KivoSim::Options& o) {
            o.bootloader = row.left == Fresh;
            if (row.left == MidWrite) o.faults.nackBootWrite = 2;
        });
        if (row.left == MidWrite) {
            const JobResult first = run(s->firmware(hexPath));
            EXPECT_EQ(first.step, JobStep::WriteFlash);
            EXPECT_EQ(s->rec.failures(),
                      QStringList{first.message + QStringLiteral("\n\n") + first.advice});
            EXPECT_TRUE(first.advice.contains("run the firmware update again"));
            ASSERT_TRUE(s->sim.inBootloader());
            s->rec.events.clear();
        }
        FirmwareRequest req = s->firmware(hexPath);
        req.port = s->sim.slavePath();
        if (!row.viaLink) {
            s->release();
            req.link = nullptr;
            req.stream = nullptr;
        }
        req.inBootloader = row.inBootloader;
        const auto before = s->sim.counters();
        const JobResult r = run(req);
        EXPECT_TRUE(r.ok) << r.message.toStdString();
        EXPECT_TRUE(s->flashStartsWith(image));
        EXPECT_FALSE(s->sim.inBootloader());
        const QStringList statuses = s->rec.statuses();
        if (row.left == Running) {
            EXPECT_EQ(statuses.back(), kHexName + QStringLiteral(" Loaded Successfully"));
            EXPECT_FALSE(statuses.contains(recovering));
            EXPECT_TRUE(consoleSaw("ISP 32 1"));
            EXPECT_EQ(s->sim.counters().consoleLines - before.consoleLines, 1u);
            continue;
        }
        EXPECT_EQ(statuses, (QStringList{QStringLiteral("Loading"), recovering,
                                         "Loading " + kHexName, recovered}));
        EXPECT_EQ(s->sim.counters().consoleLines, before.consoleLines); // no ISP this time
        // Found by the caller, nothing but the probe comes first: a fresh bootloader ACKs its
        // 0x7F, a synchronised one NACKs the second.
        if (row.inBootloader) {
            EXPECT_EQ(s->sim.counters().bootNacks - before.bootNacks,
                      row.left == MidWrite ? 1u : 0u);
        }
    }
}

// The probe follows only an unanswered ping: a generator in its own firmware gets the ping's
// bytes and nothing else, and keeps its link.
TEST_F(FirmwareJobSim, AnsweredPingIsNotFollowedByTheProbe) {
    uint64_t pingBytes = s->sim.counters().bytesIn;
    ASSERT_TRUE(s->link->ping(kPingTries));
    pingBytes = s->sim.counters().bytesIn - pingBytes;
    const uint64_t before = s->sim.counters().bytesIn;
    bool released = false;
    EXPECT_EQ(checkPort(*s->link, s->stream->devName(), [&] { released = true; }),
              PortState::Generator);
    EXPECT_FALSE(released);
    EXPECT_EQ(s->sim.counters().bytesIn - before, pingBytes);
}
