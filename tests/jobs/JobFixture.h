#pragma once
// Helpers of the job tests: a verified link to an in-process simulated generator, a recorder of
// everything a job reports in order and a small picture. The job's
// and the link's pauses skip ahead on a clock of their own; the line itself keeps real time.
#include "device/KivoIo.h"
#include "jobs/FirmwareJob.h"
#include "jobs/PatternJob.h"
#include "jobs/Picture.h"
#include "serial/SerialIo.h"
#include "sim/KivoSim.h"
#include "tests/support/BadFiles.h"
#include "tests/support/QuickSim.h"
#include "tests/support/VirtualPeer.h"

#include <QImage>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

constexpr int kSide = 64; // 64 x 64 x 3 bytes: 48 bitmap pages
constexpr unsigned kBitmapPages = kSide * kSide * 3 / 256;
constexpr uint32_t kBase = 0x08000000;
const QString kName = QStringLiteral("test card.png");
const QString kLoading = QStringLiteral("Loading ") + kName;

// Pauses take no real time: the clock jumps over them. Real time still passes on it, so sliced
// readiness waits end as they would.
struct SkipPauses final : TimeSource {
    Clock::duration skipped{};
    Clock::time_point now() override { return Clock::now() + skipped; }
    void sleepFor(std::chrono::microseconds d) override { skipped += d; }
};

// A port where nothing answers, in virtual time, named dev: a ping on it fails at once.
struct SilentPort final : VirtualPeer {
    std::string dev;
    const char* devName() override { return dev.c_str(); }
};

// Everything a job reports; log keeps the order: "status <text>", "progress <percent>" and
// "release" when the job gives the caller's link back.
struct JobRecorder {
    QStringList statuses, failures, log;
    std::vector<double> progress;
    std::function<bool(double)> onProgress; // answers the job's progress; true when unset

    JobCallbacks callbacks() {
        JobCallbacks cb;
        cb.status = [this](const QString& t, JobStep) {
            statuses << t;
            log << "status " + t;
        };
        cb.progress = [this](double p) {
            progress.push_back(p);
            log << QStringLiteral("progress %1").arg(p);
            return onProgress ? onProgress(p) : true;
        };
        cb.failure = [this](const QString& t, JobStep) { failures << t; };
        return cb;
    }
    bool writing() const { return statuses.contains(kLoading); }
};

// A simulated generator with an open stream and a device link on it, as after verification,
// and the recorder of a job run on it.
struct SimLink {
    explicit SimLink(const KivoSim::Options& options = quickSim()) : sim(options) {}
    ~SimLink() {
        release();
        sim.stop();
    }

    bool open() {
        if (!sim.start()) return false;
        stream = SerialIo::PlatformSIo();
        if (!stream->initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8,
                                SerialIo::ParityNone, 1))
            return false;
        link = new KivoIo(*stream);
        link->setTimeSource(time);
        return true;
    }
    // What the wizard does before the bootloader takes the port over.
    void release() {
        delete link;
        link = nullptr;
        delete stream;
        stream = nullptr;
    }
    // A verified link on a port where nothing answers, named dev, in place of the simulator's,
    // and req made again on it.
    FirmwareRequest silence(const std::string& dev, const FirmwareRequest& req) {
        release();
        auto* port = new SilentPort;
        port->dev = dev;
        stream = port;
        link = new KivoIo(*port);
        link->setTimeSource(port->time);
        return firmware(req.hexPath);
    }
    // The request the wizard makes on a verified link; releasing deletes link and stream.
    FirmwareRequest firmware(const QString& hexPath) {
        FirmwareRequest req;
        req.hexPath = hexPath;
        req.link = link;
        req.stream = stream;
        req.time = &time;
        req.releaseLink = [this] {
            rec.log << QStringLiteral("release");
            release();
        };
        return req;
    }

    KivoSim sim;
    SkipPauses time;
    SerialIo* stream = nullptr;
    KivoIo* link = nullptr;
    JobRecorder rec;
    JobResult result;
};

inline QImage testPicture() {
    QImage img(kSide, kSide, QImage::Format_RGB888);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) img.setPixel(x, y, qRgb(x * 4, y * 4, (x ^ y) * 4));
    return img;
}

inline std::vector<uint8_t> bytes(const QByteArray& a) {
    return {a.begin(), a.end()};
}

inline JobResult runPattern(KivoIo* link, unsigned slot, JobRecorder& rec,
                            const QImage& picture = testPicture()) {
    PatternRequest req;
    req.link = link;
    req.slot = slot;
    req.picture = picture;
    req.path = QStringLiteral("/pictures/") + kName;
    return runPatternJob(req, rec.callbacks());
}

inline std::vector<uint8_t> firmwareImage(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + 7);
    return v;
}

// Runs body(0) .. body(n - 1) each on a thread of its own; assertions belong after the join.
inline void forEachRowAtOnce(size_t n, const std::function<void(size_t)>& body) {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) threads.emplace_back(body, i);
    for (auto& t : threads) t.join();
}
