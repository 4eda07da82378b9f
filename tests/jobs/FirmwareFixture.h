#pragma once
// Fixture of the firmware job tests: a verified link to a simulated generator, a HEX file in a
// temporary folder, and the release hook the wizard would supply.
#include "HexFile.h"
#include "JobTestSupport.h"
#include "jobs/FirmwareJob.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

constexpr uint32_t kBase = 0x08000000;
const QString kHexName = QStringLiteral("fw.hex");

// The request the wizard makes on a verified link; releasing deletes link and stream.
inline FirmwareRequest firmwareRequest(const QString& hexPath, SimLink& sim, JobRecorder& rec,
                                       int& releases) {
    FirmwareRequest req;
    req.hexPath = hexPath;
    req.link = sim.link;
    req.stream = sim.stream;
    req.releaseLink = [s = &sim, r = &rec, n = &releases]() {
        ++*n;
        r->released();
        s->release();
    };
    return req;
}

class FirmwareJobSim : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        hexPath = dir.filePath(kHexName);
        reopen([](KivoSim::Options&) {});
    }

    void reopen(const std::function<void(KivoSim::Options&)>& tweak) {
        KivoSim::Options o;
        tweak(o);
        sim.reset();
        sim = std::make_unique<SimLink>(o);
        ASSERT_TRUE(sim->open());
        releases = 0;
    }
    bool writeHex(const std::vector<uint8_t>& image) {
        return writeHexFile(hexPath.toStdString(), kBase, image);
    }
    FirmwareRequest request() { return firmwareRequest(hexPath, *sim, rec, releases); }
    JobResult run(const FirmwareRequest& req) { return runFirmwareJob(req, rec.callbacks()); }

    bool flashStartsWith(const std::vector<uint8_t>& image) const {
        const auto flash = sim->sim.flash();
        return flash.size() >= image.size() &&
               std::equal(image.begin(), image.end(), flash.begin());
    }
    bool consoleSaw(const std::string& line) const {
        const auto lines = sim->sim.consoleLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    QTemporaryDir dir;
    QString hexPath;
    std::unique_ptr<SimLink> sim;
    JobRecorder rec;
    int releases = 0;
};
