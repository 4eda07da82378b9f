#include "jobs/FirmwareJob.h"

#include "FirmwareFixture.h"
#include "bootloader/Stm32Bootload.h"
#include "tests/support/BadFiles.h"
#include "tests/support/ScriptedStream.h"

#include <gtest/gtest.h>

namespace {

class NamelessStream : public ScriptedStream {
public:
    const char* devName() override { return ""; }
};

// A client of the caller's own, as the wizard supplies one that drives its progress bar.
class CountingLoader : public Stm32Bootload {
public:
    bool progress(double) override {
        ++calls;
        return true;
    }
    int calls = 0;
};

} // namespace

TEST_F(FirmwareJobSim, InstallsImageAndStartsIt) {
    const auto image = firmwareImage(300);
    ASSERT_TRUE(writeHex(image));
    const JobResult r = run(request());
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_EQ(r.step, JobStep::Done);
    EXPECT_TRUE(flashStartsWith(image));
    EXPECT_FALSE(sim->sim.inBootloader()); // Go started the new firmware

    const QStringList want = {QStringLiteral("Loading"), QStringLiteral("Loading ") + kHexName,
                              kHexName + QStringLiteral(" Loaded Successfully")};
    EXPECT_EQ(rec.statuses(), want);
    EXPECT_TRUE(rec.failures().isEmpty());
    // Two chunks: 0 before the first, 85.33 before the second, then 100 at the end.
    const auto p = rec.progress();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0], 0.0);
    EXPECT_NEAR(p[1], 25600.0 / 300.0, 1e-9);
    EXPECT_EQ(p[2], 100.0);
    // The link is given back once, after the bootloader command and before the loader opens.
    EXPECT_EQ(releases, 1);
    const int released = rec.indexOf(JobEvent::Release);
    EXPECT_GT(released, rec.indexOf(JobEvent::Status, QStringLiteral("Loading")));
    EXPECT_LT(released, rec.indexOf(JobEvent::Status, QStringLiteral("Loading ") + kHexName));
    EXPECT_TRUE(consoleSaw("ISP 32 1"));
}

TEST_F(FirmwareJobSim, RefusesBeforeAnyTraffic) {
    ASSERT_TRUE(writeHexFile(hexPath.toStdString(), kBase, {}, false));
    const QString empty = hexPath;
    struct Row {
        std::string what;
        QString path;
    };
    std::vector<Row> rows = {{"no data", empty}};
    for (const auto& bad : badfiles::badHexFiles(dir.path().toStdString()))
        rows.push_back({bad.what, QString::fromStdString(bad.path)});
    for (const Row& row : rows) {
        rec.events.clear();
        FirmwareRequest req = request();
        req.hexPath = row.path;
        const JobResult r = run(req);
        const QString message = QStringLiteral("Couldn't read ") + row.path;
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.step, JobStep::ReadFile);
        EXPECT_EQ(r.message, message);
        EXPECT_EQ(rec.failures(), QStringList{message});
        EXPECT_EQ(rec.statuses(), QStringList{message});
        EXPECT_EQ(rec.progress(), std::vector<double>{100.0});
    }
    ASSERT_TRUE(writeHex(firmwareImage(64)));
    rec.events.clear();
    FirmwareRequest req = request();
    req.link = nullptr;
    const JobResult r = run(req);
    EXPECT_EQ(r.step, JobStep::Ping);
    EXPECT_EQ(r.message, QStringLiteral("Couldn't verify KIVO"));
    EXPECT_EQ(rec.statuses(), (QStringList{QStringLiteral("Loading"), r.message}));

    EXPECT_EQ(sim->sim.counters().bytesIn, 0u);
    EXPECT_EQ(releases, 0);
}

TEST_F(FirmwareJobSim, NoDevicePathNeverEntersTheBootloader) {
    ASSERT_TRUE(writeHex(firmwareImage(64)));
    NamelessStream nameless;
    for (SerialIo* stream : {static_cast<SerialIo*>(nullptr), static_cast<SerialIo*>(&nameless)}) {
        rec.events.clear();
        FirmwareRequest req = request();
        req.stream = stream;
        const JobResult r = run(req);
        EXPECT_EQ(r.step, JobStep::Port);
        EXPECT_EQ(r.message, QStringLiteral("Couldn't re-initialize Serial Port"));
        EXPECT_EQ(rec.failures(), QStringList{r.message});
    }
    EXPECT_FALSE(consoleSaw("ISP 32 1"));
    EXPECT_FALSE(sim->sim.inBootloader());
    EXPECT_EQ(releases, 0);
    EXPECT_TRUE(sim->link->ping(1)); // the link still works
}

TEST_F(FirmwareJobSim, CallersLoaderIsUsed) {
    const auto image = firmwareImage(1000);
    ASSERT_TRUE(writeHex(image));
    std::shared_ptr<CountingLoader> mine;
    FirmwareRequest req = request();
    req.makeLoader = [&mine]() {
        mine = std::make_shared<CountingLoader>();
        return mine;
    };
    const JobResult r = run(req);
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->calls, 4); // one per chunk
    EXPECT_EQ(rec.progress(), std::vector<double>{100.0});
    EXPECT_TRUE(flashStartsWith(image));
}

TEST_F(FirmwareJobSim, VerifyReadsBackBeforeGo) {
    const auto image = firmwareImage(700);
    ASSERT_TRUE(writeHex(image));
    FirmwareRequest req = request();
    req.verify = true;
    const JobResult r = run(req);
    EXPECT_TRUE(r.ok) << r.message.toStdString();
    EXPECT_TRUE(rec.statuses().contains(QStringLiteral("Verifying ") + kHexName));
    EXPECT_FALSE(sim->sim.inBootloader());
}

TEST_F(FirmwareJobSim, VerifyNamesFirstDifferingAddress) {
    reopen([](KivoSim::Options& o) {
        o.faults.corruptFlash = true;
        o.faults.corruptFlashAddress = kBase + 0x1A3;
    });
    const auto image = firmwareImage(700);
    ASSERT_TRUE(writeHex(image));
    FirmwareRequest req = request();
    req.verify = true;
    const JobResult r = run(req);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.step, JobStep::VerifyFlash);
    EXPECT_EQ(r.message,
              QStringLiteral("Flash differs from ") + kHexName + QStringLiteral(" at 0x080001a3"));
    EXPECT_TRUE(sim->sim.inBootloader()); // never started
}

TEST_F(FirmwareJobSim, ExtendedEraseWhenPlainEraseIsMissing) {
    for (bool fallback : {true, false}) {
        reopen([](KivoSim::Options& o) { o.offerErase = false; });
        const auto image = firmwareImage(256);
        ASSERT_TRUE(writeHex(image));
        rec.events.clear();
        FirmwareRequest req = request();
        req.eraseFallback = fallback;
        const JobResult r = run(req);
        if (fallback) {
            EXPECT_TRUE(r.ok) << r.message.toStdString();
            EXPECT_TRUE(flashStartsWith(image));
        } else {
            EXPECT_EQ(r.step, JobStep::EraseFlash);
            EXPECT_EQ(r.message, QStringLiteral("Couldn't erase flash"));
        }
    }
}
