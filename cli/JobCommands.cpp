// pattern and firmware: the wizard's two jobs, on one port here or on several at once.
#include "cli/Cli.h"
#include "cli/JobRun.h"

#include "device/KivoIo.h"
#include "files/FileLoad.h"
#include "jobs/FirmwareJob.h"
#include "jobs/PatternJob.h"
#include "jobs/Picture.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace kivo {
namespace {

constexpr unsigned kRgbBytes = 3;
constexpr unsigned kRowAlign = 4;

int refuse(Console& con, const char* fmt, const std::string& what) {
    con.error(fmt, what.c_str());
    return ExitUsage;
}

bool parseSlot(const std::string& text, unsigned& slot) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '9') return false;
    slot = static_cast<unsigned>(text[0] - '0');
    return slot < kPatternSlots;
}

uint64_t rgb888Bytes(const QImage& picture) {
    uint64_t row = (uint64_t(picture.width()) * kRgbBytes + kRowAlign - 1) / kRowAlign * kRowAlign;
    return row * uint64_t(picture.height());
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

JobCallbacks callbacksFor(const JobSpec& job, ProgressView& view, QString& closing) {
    JobCallbacks cb;
    auto stage = std::make_shared<JobStep>(JobStep::None);
    cb.status = [&job, &view, &closing, stage](const QString& text, JobStep step) {
        if (step == JobStep::Done)
            closing = text; // shown once the outcome is known
        else if (step == *stage)
            view.note(text.toStdString());
        else
            view.status(text.toStdString(), stageBytes(job, step));
        *stage = step;
    };
    cb.progress = [&view](double percent) {
        view.progress(percent);
        return true;
    };
    return cb;
}

JobResult runJob(const JobSpec& job, Connection& c, const JobCallbacks& cb) {
    if (job.kind == JobSpec::Pattern) {
        PatternRequest req;
        req.link = c.link();
        req.slot = job.slot;
        req.picture = job.picture;
        req.path = job.path;
        return runPatternJob(req, cb);
    }
    FirmwareRequest req;
    req.hexPath = job.path;
    req.link = c.link();
    req.stream = c.stream();
    req.port = c.dev();
    req.releaseLink = [&c] { c.releaseLink(); };
    req.verify = job.verify;
    return runFirmwareJob(req, cb);
}

// Resolves every port of the list before anything is sent to any of them.
int resolveAll(const std::string& list, Console& con, std::vector<PortTarget>& targets) {
    std::vector<std::string> names;
    std::string error;
    if (!splitPortList(list, names, error)) return refuse(con, "kivo: %s\n", error);
    for (const std::string& name : names) {
        PortTarget t;
        int status = ExitOk;
        if (!resolvePort(name, t, error, status)) {
            con.error("%s%s", status == ExitUsage ? "kivo: " : "", error.c_str());
            return status;
        }
        targets.push_back(t);
    }
    return ExitOk;
}

void reportResult(int fd, const PortOutcome& o) {
    FILE* f = fdopen(dup(fd), "w");
    if (!f) return;
    fprintf(f, "%c %s\t%s\n", kRecordResult, o.step.c_str(), o.message.c_str());
    fclose(f);
}

int runJobCommand(const Invocation& inv, Console& con, const JobSpec& job) {
    std::vector<PortTarget> targets;
    int status = resolveAll(inv.args[0], con, targets);
    if (status != ExitOk) return status;
    if (targets.size() > 1) return runParallel(inv, targets, con);
    std::unique_ptr<ProgressView> view =
        inv.workerFd >= 0 ? makeWorkerView(inv.workerFd) : makeConsoleView(con);
    PortOutcome o = runJobOnPort(job, targets[0], con, *view);
    view.reset();
    if (inv.workerFd >= 0) reportResult(inv.workerFd, o);
    return o.ok ? ExitOk : ExitFailed;
}

} // namespace

int checkPatternInputs(const Invocation& inv, Console& con, JobSpec& job) {
    job.kind = JobSpec::Pattern;
    if (!parseSlot(inv.args[1], job.slot))
        return refuse(con, "kivo: SLOT must be a number from 0 to 9, not '%s'\n", inv.args[1]);
    const std::string& path = inv.args[2];
    job.path = QString::fromLocal8Bit(path.c_str());
    if (fileKind(job.path) != FileKindPicture)
        return refuse(con, "%s is not a valid file for the Kivo\n", path);
    job.picture = pictureToSend(loadPicture(job.path), inv.fit);
    if (job.picture.isNull()) return refuse(con, "Couldn't read %s\n", path);
    const QString tooLarge = pictureTooLarge(job.picture, job.path);
    if (!tooLarge.isEmpty()) {
        con.error("%s (try --fit)\n", tooLarge.toLocal8Bit().constData());
        return ExitUsage;
    }
    job.bitmapBytes = rgb888Bytes(job.picture);
    return ExitOk;
}

int checkFirmwareInputs(const Invocation& inv, Console& con, JobSpec& job) {
    job.kind = JobSpec::Firmware;
    job.verify = inv.verify;
    const std::string& path = inv.args[1];
    job.path = QString::fromLocal8Bit(path.c_str());
    if (fileKind(job.path) != FileKindFirmware)
        return refuse(con, "%s is not a valid file for the Kivo\n", path);
    unsigned char* data = nullptr;
    unsigned size = 0, base = 0;
    bool read;
    {
        StdoutMute mute; // the job reads the file again, with its trace
        read = readHexFile(path.c_str(), data, size, base, 0);
    }
    delete[] data;
    if (!read || size == 0) return refuse(con, "Couldn't read %s\n", path);
    job.imageBytes = size;
    return ExitOk;
}

PortOutcome runJobOnPort(const JobSpec& job, const PortTarget& port, Console& con,
                         ProgressView& view) {
    PortOutcome o;
    Connection c(port);
    // The firmware job pings by itself and names its own failure.
    bool open = job.kind == JobSpec::Firmware ? c.open(con) : c.openVerified(con);
    if (!open) {
        o.step = jobStepName(JobStep::Link);
        o.message =
            c.inBootloader() ? bootloaderNotice(port.given) : "Kivo not found on " + port.given;
        return o;
    }
    QString closing;
    JobCallbacks cb = callbacksFor(job, view, closing);
    JobResult r = runJob(job, c, cb);
    view.finish();
    o.ok = r.ok;
    o.step = jobStepName(r.step);
    o.message = (r.ok ? closing : r.message).toStdString();
    if (r.ok) {
        view.note(o.message);
        return o;
    }
    con.error("%s\n", o.message.c_str());
    if (r.step == JobStep::Ping) con.error("Kivo not found on %s\n", port.given.c_str());
    if (!r.advice.isEmpty()) con.error("%s\n", r.advice.toLocal8Bit().constData());
    return o;
}

int runPattern(const Invocation& inv, Console& con) {
    JobSpec job;
    int status = checkPatternInputs(inv, con, job);
    return status == ExitOk ? runJobCommand(inv, con, job) : status;
}

int runFirmware(const Invocation& inv, Console& con) {
    JobSpec job;
    int status = checkFirmwareInputs(inv, con, job);
    return status == ExitOk ? runJobCommand(inv, con, job) : status;
}

} // namespace kivo
