#pragma once
#include "cli/Console.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// Progress of a long job: a bar on a terminal, a line per 10 percent otherwise, or records on
// a descriptor for the parent of a parallel run.
namespace kivo {

// One stage of a job (a status text) and how far it has come.
class ProgressState {
public:
    // limitSeconds > 0: a wait of unknown length with that bound; the bar shows elapsed time.
    void start(const std::string& text, uint64_t totalBytes, unsigned limitSeconds = 0);
    // True when the update crossed into a new tenth (10, 20, ... 100).
    bool update(double percent);

    // A new text for the same stage.
    void setText(const std::string& text) { text_ = text; }
    const std::string& text() const { return text_; }
    double percent() const { return percent_; }
    unsigned limit() const { return limit_; }
    uint64_t total() const { return total_; }
    // "[#####.....]  45%  2.8 of 6.2 MB  310 kB/s  0:11 left" (bytes only when known); for a
    // bounded wait "0:12 elapsed (may take up to 2:00)". The percent is rounded down, so 100%
    // means done.
    std::string bar(unsigned width) const;
    // "Loading fw.hex: 40% (131072 of 327680 bytes)"
    std::string line() const;

private:
    std::string text_;
    uint64_t total_ = 0;
    unsigned limit_ = 0;
    double percent_ = 0;
    int tenth_ = 0;
    std::chrono::steady_clock::time_point started_;
};

// "1:05" (or "1:02:05"); "6.2 MB" (or kB, bytes).
std::string clockText(double seconds);
std::string byteText(uint64_t bytes);

class ProgressView {
public:
    virtual ~ProgressView() = default;
    // A new status text; the progress that follows belongs to it (totalBytes 0: unknown;
    // limitSeconds: see ProgressState::start).
    virtual void status(const std::string& text, uint64_t totalBytes, unsigned limitSeconds) = 0;
    // A line printed above the bar, which is drawn again below it.
    virtual void note(const std::string& text) = 0;
    // Progress of the running stage, below 100 (only finish(true) shows 100%).
    virtual void progress(double percent) = 0;
    // Ends the stage's bar: done shows it complete, else it stays as it stands.
    virtual void finish(bool done) = 0;
};

// The view for this process's own console: nothing with --quiet, a bar when standard error is
// a terminal, else lines.
std::unique_ptr<ProgressView> makeConsoleView(Console& con);
// Records for the parent of a parallel run, on descriptor fd (see Parallel.h).
std::unique_ptr<ProgressView> makeWorkerView(int fd);

// Record kinds of the worker descriptor, one record a line: "<kind> <rest>".
constexpr char kRecordStatus = 'S';   // S <totalBytes> <limitSeconds> <text>
constexpr char kRecordNote = 'N';     // N <text>
constexpr char kRecordProgress = 'P'; // P <percent>; 100 ends the stage done
constexpr char kRecordFinish = 'F';   // F: the stage ended unfinished
constexpr char kRecordResult = 'R';   // R <step name>\t<message>   (message empty on success)

} // namespace kivo
