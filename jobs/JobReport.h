#pragma once
// Internal: null-safe forwarding of a job's reports to the caller's callbacks, the progress
// sink the device layer takes, and the idle sink a link uses during a job.
#include "device/KivoIo.h"
#include "device/KivoProgress.h"
#include "jobs/JobTypes.h"

class JobReport final : public KivoProgress {
public:
    explicit JobReport(const JobCallbacks& callbacks) : cb(callbacks) {}

    void status(const QString& text, JobStep step) const {
        if (cb.status) cb.status(text, step);
    }
    void failure(const QString& message, JobStep step) const {
        if (cb.failure) cb.failure(message, step);
    }
    bool progress(double percent) override {
        last = percent;
        const bool going = cb.progress ? cb.progress(percent) : true;
        stopAsked = stopAsked || !going;
        return going;
    }
    // The caller asked to stop; a device wait that ended for it is no news of the device.
    bool stopped() const { return stopAsked; }
    // Between slices of a long device wait: the last percent again, so the caller's display keeps
    // turning without the bar moving.
    bool repeatProgress() { return progress(last); }

    // Reports a refusal that happens before any traffic: message box, then status line.
    JobResult refuse(const QString& message, JobStep step) const {
        failure(message, step);
        status(message, JobStep::Done);
        JobResult result{false, step, message};
        result.refused = true;
        return result;
    }

private:
    const JobCallbacks& cb;
    double last = 0.0;
    bool stopAsked = false;
};

// The idle sink for the length of a job, also set on the link when there is one; the percent it
// is given carries no news.
class JobIdle final : public KivoProgress {
public:
    JobIdle(KivoIo* link, JobReport& report) : link(link), report(report) {
        if (link) link->setIdleSink(this);
    }
    ~JobIdle() { forget(); }
    JobIdle(const JobIdle&) = delete;
    JobIdle& operator=(const JobIdle&) = delete;

    bool progress(double) override { return report.repeatProgress(); }
    void attach(KivoIo* other) {
        forget();
        link = other;
        if (link) link->setIdleSink(this);
    }
    // The link is about to be deleted.
    void forget() {
        if (link) link->setIdleSink(nullptr);
        link = nullptr;
    }

private:
    KivoIo* link;
    JobReport& report;
};
