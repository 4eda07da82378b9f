#pragma once
// Helpers of the job tests: a verified link to an in-process simulated generator, and a
// recorder of everything a job reports, in order.
#include "device/KivoIo.h"
#include "jobs/JobTypes.h"
#include "serial/SerialIo.h"
#include "sim/KivoSim.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

struct JobEvent {
    enum Kind { Status, Progress, Failure, Release } kind;
    QString text;
    JobStep step = JobStep::None;
    double percent = 0;
};

class JobRecorder {
public:
    std::vector<JobEvent> events;
    std::function<bool(double)> onProgress; // answers the job's progress; true when unset

    JobCallbacks callbacks() {
        JobCallbacks cb;
        cb.status = [this](const QString& t, JobStep s) {
            events.push_back({JobEvent::Status, t, s, 0});
        };
        cb.progress = [this](double p) {
            events.push_back({JobEvent::Progress, QString(), JobStep::None, p});
            return onProgress ? onProgress(p) : true;
        };
        cb.failure = [this](const QString& t, JobStep s) {
            events.push_back({JobEvent::Failure, t, s, 0});
        };
        return cb;
    }
    void released() { events.push_back({JobEvent::Release, QString(), JobStep::None, 0}); }

    QStringList texts(JobEvent::Kind kind) const {
        QStringList out;
        for (const auto& e : events)
            if (e.kind == kind) out << e.text;
        return out;
    }
    QStringList statuses() const { return texts(JobEvent::Status); }
    QStringList failures() const { return texts(JobEvent::Failure); }
    std::vector<double> progress() const {
        std::vector<double> out;
        for (const auto& e : events)
            if (e.kind == JobEvent::Progress) out.push_back(e.percent);
        return out;
    }
    // Index of the first event of a kind (with that text, when given); -1 if none.
    int indexOf(JobEvent::Kind kind, const QString& text = QString()) const {
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i].kind == kind && (text.isNull() || events[i].text == text))
                return static_cast<int>(i);
        return -1;
    }
};

// A simulated generator with an open stream and a device link on it, as after verification.
class SimLink {
public:
    explicit SimLink(const KivoSim::Options& options = KivoSim::Options()) : sim(options) {}
    ~SimLink() {
        release();
        sim.stop();
    }
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    bool open() {
        if (!sim.start()) return false;
        stream = SerialIo::PlatformSIo();
        if (!stream->initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8,
                                SerialIo::ParityNone, 1))
            return false;
        link = new KivoIo(*stream);
        return true;
    }
    // What the wizard does before the bootloader takes the port over.
    void release() {
        delete link;
        link = nullptr;
        delete stream;
        stream = nullptr;
    }

    KivoSim sim;
    SerialIo* stream = nullptr;
    KivoIo* link = nullptr;
};

// Runs body(0) .. body(n - 1) each on a thread of its own. Fault rows spend their time in
// time-outs and pauses, so they wait side by side; assertions belong after the join.
inline void forEachRowAtOnce(size_t n, const std::function<void(size_t)>& body) {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) threads.emplace_back(body, i);
    for (auto& t : threads) t.join();
}

// Wall-clock seconds a call takes.
inline double secondsOf(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
