#pragma once
// Internal: null-safe forwarding of a job's reports to the caller's callbacks, and the progress
// sink the device layer takes.
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
    bool progress(double percent) override { return cb.progress ? cb.progress(percent) : true; }

    // Reports a refusal that happens before any traffic: message box, then status line.
    JobResult refuse(const QString& message, JobStep step) const {
        failure(message, step);
        status(message, JobStep::Done);
        return JobResult{false, step, message};
    }

private:
    const JobCallbacks& cb;
};
