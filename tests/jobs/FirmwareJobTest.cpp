#include "JobFixture.h"
#include "bootloader/Stm32Bootload.h"
#include "tests/support/ScriptedStream.h"

#include <QTemporaryDir>

#include <memory>

namespace {

const QString kHexName = QStringLiteral("fw.hex");

class NamelessStream : public ScriptedStream {
public:
    const char* devName() override { return ""; }
};

// A client of the caller's own, as the wizard supplies one that drives its progress bar.
struct CountingLoader : Stm32Bootload {
    bool progress(double) override { return ++calls > 0; }
    int calls = 0;
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
    // Two chunks: 0 before the first, 85.91 before the second, then 100 at the end.
    const auto p = rec.progress();
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

TEST_F(FirmwareJobSim, CallersLoaderIsUsed) {
    const auto image = firmwareImage(1000);
    ASSERT_TRUE(writeImage(image));
    std::shared_ptr<CountingLoader> mine;
    FirmwareRequest req = s->firmware(hexPath);
    req.makeLoader = [&mine]() { return mine = std::make_shared<CountingLoader>(); };
    const JobResult r = run(req);
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->calls, 4); // one per chunk
    EXPECT_EQ(s->rec.progress(), std::vector<double>{100.0});
    EXPECT_TRUE(s->flashStartsWith(image));
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
    for (bool fallback : {true, false}) {
        reopen([](KivoSim::Options& o) { o.bootloaderVersion = 0x31; });
        const auto image = firmwareImage(256);
        ASSERT_TRUE(writeImage(image));
        FirmwareRequest req = s->firmware(hexPath);
        req.eraseFallback = fallback;
        if (!fallback) simguard::expectViolations(1); // Erase on a bootloader without it
        const JobResult r = run(req);
        EXPECT_EQ(r.ok, fallback) << r.message.toStdString();
        EXPECT_EQ(s->flashStartsWith(image), fallback);
        EXPECT_EQ(r.message, fallback ? QString() : QStringLiteral("Couldn't erase flash"));
    }
}
