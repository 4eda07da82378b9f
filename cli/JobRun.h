#pragma once
#include "cli/Commands.h"
#include "cli/Port.h"
#include "cli/Progress.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <string>

// The two long jobs on one port, after their inputs have been checked.
namespace kivo {

struct JobSpec {
    enum Kind { Pattern, Firmware } kind = Pattern;
    QString path;      // picture or HEX file
    unsigned slot = 0; // pattern
    QImage picture;    // pattern
    uint64_t bitmapBytes = 0;
    uint64_t imageBytes = 0; // firmware
    bool verify = false;     // firmware
};

struct PortOutcome {
    bool ok = false;
    std::string step;    // the failed step's short name, "done" on success
    std::string message; // the failure message; the closing status text on success
    bool interrupted = false; // stopped by SIGINT or SIGTERM
};

// Checks the command's inputs; ExitOk or ExitUsage (the reason already printed).
int checkPatternInputs(const Invocation& inv, Console& con, JobSpec& job);
int checkFirmwareInputs(const Invocation& inv, Console& con, JobSpec& job);

// Runs the job on one port, reporting through view and con; summary adds the up-front plan
// and the closing summary line.
PortOutcome runJobOnPort(const JobSpec& job, const PortTarget& port, Console& con,
                         ProgressView& view, bool summary);

// Every port of a comma-separated list at the same time, a worker process each.
int runParallel(const Invocation& inv, const std::vector<PortTarget>& ports, Console& con);

} // namespace kivo
