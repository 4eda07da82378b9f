#pragma once
// Fixture of the pattern job tests: a verified link to a simulated generator and a small picture.
#include "JobTestSupport.h"
#include "jobs/PatternJob.h"
#include "jobs/Picture.h"

#include <QImage>

#include <gtest/gtest.h>

constexpr int kSide = 64; // 64 x 64 x 3 bytes: 48 bitmap pages
constexpr unsigned kBitmapPages = kSide * kSide * 3 / 256;
const QString kPath = QStringLiteral("/pictures/test card.png");
const QString kName = QStringLiteral("test card.png");

inline QImage testPicture() {
    QImage img(kSide, kSide, QImage::Format_RGB888);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) img.setPixel(x, y, qRgb(x * 4, y * 4, (x ^ y) * 4));
    return img;
}

inline std::vector<uint8_t> bytes(const QByteArray& a) {
    return std::vector<uint8_t>(a.begin(), a.end());
}

inline JobResult runPattern(KivoIo* link, unsigned slot, JobRecorder& rec,
                            const QImage& picture = testPicture()) {
    PatternRequest req;
    req.link = link;
    req.slot = slot;
    req.picture = picture;
    req.path = kPath;
    return runPatternJob(req, rec.callbacks());
}

class PatternJobSim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.open()); }

    JobResult run(unsigned slot, const QImage& picture = testPicture()) {
        return runPattern(sim.link, slot, rec, picture);
    }
    // The erase runs on the console, so frame faults count from the first bitmap page on.
    void inject(const KivoSim::Faults& f) { sim.sim.setFaults(f); }
    bool writing() const {
        return rec.indexOf(JobEvent::Status, QStringLiteral("Loading ") + kName) >= 0;
    }

    SimLink sim;
    JobRecorder rec;
};
