// pattern and firmware: the wizard's two jobs, on one port here or on several at once.
#include "cli/Cli.h"
#include "cli/JobPresenter.h"
#include "cli/JobRun.h"

#include "device/KivoIo.h"
#include "files/FileLoad.h"
#include "jobs/FirmwareJob.h"
#include "jobs/PatternJob.h"
#include "jobs/Picture.h"
#include "serial/SIoTcp.h"

#include <QImageReader>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {
namespace {

constexpr unsigned kRgbBytes = 3;
constexpr unsigned kRowAlign = 4;

int refuse(Console& con, const char* fmt, const std::string& what) {
    con.error(fmt, what.c_str());
    return ExitUsage;
}

int refuseFile(Console& con, const std::string& path, const std::string& why) {
    con.error("Couldn't read %s: %s\n", path.c_str(), why.c_str());
    return ExitUsage;
}

// The suffixes the tool takes, for a name it does not (case-sensitive, as on the file page).
int refuseKind(Console& con, const std::string& path, const char* takes) {
    con.error("%s is not a valid file for the Kivo (it takes %s)\n", path.c_str(), takes);
    return ExitUsage;
}

// Why a picture did not load: the system's error, a raw file's size, or the decoder's reason.
// Never opens anything but a regular file: a FIFO would wait for a writer without end.
std::string pictureProblem(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (access(path.c_str(), R_OK) != 0) return strerror(errno);
    const QString name = QString::fromLocal8Bit(path.c_str());
    if (name.endsWith(QLatin1String(".bin")))
        return "a raw picture needs " + std::to_string(kRawPictureBytes) +
               " bytes (1920 x 1080 x 3), the file has " + std::to_string(st.st_size);
    QImageReader reader(name);
    if (reader.read().isNull()) return reader.errorString().toStdString();
    return strerror(EIO);
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
    if (!splitPortList(list, names, error)) return refuse(con, "%s\n", error);
    for (const std::string& name : names) {
        PortTarget t;
        int status = ExitOk;
        if (!resolvePort(name, t, error, status)) {
            con.error("%s", error.c_str());
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
    for (const PortTarget& t : targets)
        if (job.kind == JobSpec::Firmware && isRawTcpPort(t.given)) {
            con.error("kivo: no firmware through %s: the bootloader needs even parity, which "
                      "only the server can set; use the server's rfc2217:// port\n",
                      t.given.c_str());
            return ExitUsage;
        }
    installStopHandlers();
    if (targets.size() > 1) return runParallel(inv, targets, con);
    std::unique_ptr<ProgressView> view =
        inv.workerFd >= 0 ? makeWorkerView(inv.workerFd) : makeConsoleView(con);
    PortOutcome o = runJobOnPort(job, targets[0], con, *view, inv.workerFd < 0);
    view.reset();
    if (inv.workerFd >= 0) reportResult(inv.workerFd, o);
    return o.interrupted ? ExitInterrupted : o.ok ? ExitOk : ExitFailed;
}

} // namespace

int checkPatternInputs(const Invocation& inv, Console& con, JobSpec& job) {
    job.kind = JobSpec::Pattern;
    if (!parseSlot(inv.args[1], job.slot))
        return refuse(con, "SLOT must be a number from 0 to 9, not '%s'\n", inv.args[1]);
    const std::string& path = inv.args[2];
    job.path = QString::fromLocal8Bit(path.c_str());
    if (fileKind(job.path) != FileKindPicture) return refuseKind(con, path, ".png .jpg .bmp .bin");
    job.picture = pictureToSend(loadPicture(job.path), inv.fit);
    if (job.picture.isNull()) return refuseFile(con, path, pictureProblem(path));
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
    if (fileKind(job.path) != FileKindFirmware) return refuseKind(con, path, ".hex");
    unsigned char* data = nullptr;
    unsigned size = 0, base = 0;
    std::string why;
    bool read;
    {
        StdoutMute mute; // the job reads the file again, with its trace
        read = readHexFile(path.c_str(), data, size, base, 0, why);
    }
    delete[] data;
    if (!read) return refuseFile(con, path, why);
    if (size == 0) return refuseFile(con, path, "it holds no data");
    job.imageBytes = size;
    return ExitOk;
}

PortOutcome runJobOnPort(const JobSpec& job, const PortTarget& port, Console& con,
                         ProgressView& view, bool summary) {
    PortOutcome o;
    JobPresenter shown(job, port.given, view);
    if (summary) con.info("%s\n", shown.plan().c_str());
    Connection c(port);
    // The firmware job pings by itself and names its own failure.
    bool open = job.kind == JobSpec::Firmware ? c.open(con) : c.openVerified(con);
    if (!open) {
        o.step = jobStepName(JobStep::Link);
        o.message =
            c.inBootloader() ? bootloaderNotice(port.given) : "Kivo not found on " + port.given;
        return o;
    }
    JobResult r = runJob(job, c, shown.callbacks());
    view.finish(r.ok);
    o.ok = r.ok;
    o.step = jobStepName(r.step);
    o.message = (r.ok ? shown.closing() : r.message).toStdString();
    o.interrupted = !r.ok && stopRequested(); // a stop after the last page changes nothing
    if (r.ok) {
        view.note(o.message);
    } else {
        con.error("%s\n", o.message.c_str());
        if (r.step == JobStep::Ping) con.error("Kivo not found on %s\n", port.given.c_str());
        if (!SIoTcp::lastLoss().empty()) con.error("%s\n", SIoTcp::lastLoss().c_str());
        if (!r.advice.isEmpty()) con.error("%s\n", r.advice.toLocal8Bit().constData());
    }
    if (o.interrupted) {
        o.message = "stopped: " + shown.stopState(r);
        con.error("%s\n", o.message.c_str());
    }
    if (summary) con.info("%s\n", shown.summary(r).c_str());
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
