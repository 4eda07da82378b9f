#pragma once
#include "cli/JobRun.h"

#include "jobs/JobTypes.h"

#include <chrono>
#include <string>

// How a job shows on the console: its stages by name, progress that reaches 100% only when a
// stage is done, the state a stop leaves the generator in, and a closing summary line.
namespace kivo {

// Exit status of a run stopped by SIGINT or SIGTERM.
constexpr int ExitInterrupted = 130;

// From now on SIGINT and SIGTERM ask the running job to stop at its next page or chunk.
void installStopHandlers();
// Around the start of a worker process, so that it inherits the signals blocked until it has
// installed its handlers.
void blockStopSignals(bool block);
bool stopRequested();

class JobPresenter {
public:
    JobPresenter(const JobSpec& job, const std::string& port, ProgressView& view);

    // The up-front line: what is going to happen and, for a pattern, how long it takes.
    std::string plan() const;
    JobCallbacks callbacks();

    // After the job: the closing status text of a successful run.
    const QString& closing() const { return closing_; }
    // Why the generator is left as it is, when the run was stopped.
    std::string stopState(const JobResult& r) const;
    // "Pattern 4 ... in 9:41, 10.8 kB/s", or the failure and the time it took.
    std::string summary(const JobResult& r) const;

private:
    void onStatus(const QString& text, JobStep step);
    bool onProgress(double percent);

    const JobSpec& job_;
    std::string port_;
    ProgressView& view_;
    JobStep stage_ = JobStep::None;
    bool ended_ = false;   // the stage's bar is finished; later progress belongs to nobody
    bool writing_ = false; // firmware: the first chunk has gone out
    bool starting_ = false; // firmware: "Starting the new firmware" shown
    QString closing_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace kivo
