#include "cli/JobPresenter.h"

#include "device/KivoIo.h"
#include "jobs/PatternJob.h"
#include "jobs/Picture.h"

#include <QFileInfo>

#include <csignal>

namespace kivo {
namespace {

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int sig) {
    stopSignal = sig;
}

constexpr unsigned kSlotEraseLimitSeconds = 120; // the generator's bound for a slot erase
// One flash page on the line: the page, its frame and the reply, 10 bits a byte at 115200
// bit/s, and the pause after each page.
constexpr double kLineBitsPerSecond = 115200;
constexpr double kBitsPerByte = 10;
constexpr double kPageLineBytes = KivoIo::PageSize + 40;
constexpr double kPagePauseSeconds = 0.001;

const char* const kEnteringBootloader = "Entering the bootloader";
const char* const kErasing = "Erasing the flash";
const char* const kWriting = "Writing the flash";
const char* const kStarting = "Starting the new firmware";

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

uint64_t stageBytes(const JobSpec& job, JobStep step) {
    switch (step) {
    case JobStep::Bitmap:
        return job.bitmapBytes;
    case JobStep::Preview:
        return kPreviewBytes;
    case JobStep::InitBootloader:
    case JobStep::VerifyFlash:
        return job.imageBytes;
    default:
        return 0;
    }
}

uint64_t jobBytes(const JobSpec& job) {
    if (job.kind == JobSpec::Pattern) return job.bitmapBytes + kPreviewBytes;
    return job.imageBytes * (job.verify ? 2 : 1);
}

std::string fileName(const JobSpec& job) {
    return QFileInfo(job.path).fileName().toStdString();
}

} // namespace

void installStopHandlers() {
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A worker of a parallel run starts with both blocked (see blockStopSignals): a stop sent
    // before this point is delivered now instead of killing it.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void blockStopSignals(bool block) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool stopRequested() {
    return stopSignal != 0;
}

JobPresenter::JobPresenter(const JobSpec& job, const std::string& port, ProgressView& view)
    : job_(job), port_(port), view_(view), started_(std::chrono::steady_clock::now()) {}

std::string JobPresenter::plan() const {
    if (job_.kind == JobSpec::Firmware)
        return "Installing " + fileName(job_) + " (" + byteText(job_.imageBytes) + ") on " + port_;
    double pages = double((job_.bitmapBytes + KivoIo::PageSize - 1) / KivoIo::PageSize +
                          kPreviewBytes / KivoIo::PageSize);
    double seconds =
        pages * (kPageLineBytes * kBitsPerByte / kLineBitsPerSecond + kPagePauseSeconds);
    return "Replacing pattern " + std::to_string(job_.slot) + " on " + port_ + " with " +
           fileName(job_) + " (" + pictureCaption(job_.picture).toStdString() +
           ")\nThis takes about " + clockText(seconds) + " at " +
           std::to_string(unsigned(kLineBitsPerSecond)) + " bit/s, after a slot erase of up to " +
           clockText(kSlotEraseLimitSeconds) + ".";
}

JobCallbacks JobPresenter::callbacks() {
    JobCallbacks cb;
    cb.status = [this](const QString& text, JobStep step) { onStatus(text, step); };
    cb.progress = [this](double percent) { return onProgress(percent); };
    cb.failure = [this](const QString&, JobStep) {
        view_.finish(false);
        ended_ = true;
    };
    return cb;
}

void JobPresenter::onStatus(const QString& text, JobStep step) {
    const std::string line = text.toStdString();
    if (step == JobStep::Done) {
        closing_ = text; // shown once the outcome is known
        // Not ended by a failure: the last stage is done (a firmware write without --verify
        // never reports its last chunk).
        if (!ended_) {
            if (job_.kind == JobSpec::Firmware && !starting_) view_.note(kStarting);
            view_.finish(true);
        }
        ended_ = true;
        return;
    }
    if (step == stage_) { // the stage's closing text: it is done
        view_.finish(true);
        view_.note(line);
        ended_ = true;
        return;
    }
    stage_ = step;
    ended_ = false;
    view_.status(line, stageBytes(job_, step), step == JobStep::Erase ? kSlotEraseLimitSeconds : 0);
    if (step == JobStep::Ping) view_.note(kEnteringBootloader);
    if (step == JobStep::InitBootloader) view_.note(kErasing);
}

bool JobPresenter::onProgress(double percent) {
    if (stopRequested()) return false;
    if (ended_) return true;
    if (stage_ == JobStep::InitBootloader && !writing_) {
        // The first chunk is out: the erase is over, and the bar's rate counts from here.
        view_.status(kWriting, job_.imageBytes, 0);
        writing_ = true;
    }
    if (percent < 100.0) {
        view_.progress(percent);
        return true;
    }
    view_.finish(true);
    ended_ = true;
    if (stage_ == JobStep::VerifyFlash) {
        view_.note(kStarting);
        starting_ = true;
    }
    return true;
}

std::string JobPresenter::stopState(const JobResult& r) const {
    if (job_.kind == JobSpec::Pattern) {
        if (stage_ == JobStep::None || r.step == JobStep::Link) return "nothing was changed";
        return "slot " + std::to_string(job_.slot) + " holds a partial pattern: install it again";
    }
    if (r.step == JobStep::Ping || r.step == JobStep::ReadFile || r.step == JobStep::None)
        return "the generator runs its old firmware";
    return "the generator is in its bootloader: run kivo firmware again to recover it";
}

std::string JobPresenter::summary(const JobResult& r) const {
    const double secs = secondsSince(started_);
    const std::string took = clockText(secs);
    // The closing text above it names the file already.
    const std::string what =
        job_.kind == JobSpec::Pattern ? "Pattern " + std::to_string(job_.slot) : "Firmware";
    if (!r.ok)
        return what + " on " + port_ + ": " + (stopRequested() ? "stopped" : "failed") + " (" +
               jobStepName(r.step) + ") after " + took;
    const uint64_t bytes = jobBytes(job_);
    char rate[32];
    snprintf(rate, sizeof rate, "%.1f kB/s", secs > 0 ? bytes / secs / 1000.0 : 0.0);
    return what + " installed on " + port_ + " in " + took + ": " + byteText(bytes) + " at " + rate;
}

} // namespace kivo
