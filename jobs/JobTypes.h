#pragma once
// What both jobs report to their caller: status lines, progress and failures, each tagged with
// the step it belongs to, so the wizard and the command-line tool can present the same texts in
// their own way.
#include <QString>

#include <functional>

enum class JobStep {
    None,
    // pattern replacement
    Link,    // no verified link to the generator
    Picture, // the picture did not load or the position is out of range
    Erase,
    Bitmap,
    Preview,
    // firmware update
    ReadFile,
    Ping,
    Bootloader,
    Port, // no device path for the bootloader connection
    InitBootloader,
    EraseFlash,
    WriteFlash,
    VerifyFlash,
    Go,
    Done,
};

// Short English name of a step ("erase", "write", ...), for logs and summary tables.
const char* jobStepName(JobStep step);

struct JobCallbacks {
    // A new status line; step is the stage the text announces (Done for the closing line).
    std::function<void(const QString& text, JobStep step)> status;
    // Progress of the running stage, 0..100; false asks the running operation to stop.
    std::function<bool(double percent)> progress;
    // A failed step: the text for a message box, shown before the closing status line.
    std::function<void(const QString& message, JobStep step)> failure;
};

struct JobResult {
    JobResult() = default;
    JobResult(bool ok, JobStep step, const QString& message)
        : ok(ok), step(step), message(message) {}

    bool ok = false;
    JobStep step = JobStep::None; // the step that failed, Done on success
    QString message;              // the failure message, empty on success
    bool refused = false;         // stopped before anything was sent to the generator
    // After a failure that left the generator in its bootloader: what brings it back.
    QString advice;
};
