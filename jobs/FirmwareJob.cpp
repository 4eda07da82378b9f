#include "jobs/FirmwareJob.h"

#include "bootloader/BootloaderProbe.h"
#include "bootloader/Stm32Bootload.h"
#include "device/KivoIo.h"
#include "files/FileLoad.h"
#include "jobs/IdleLine.h"
#include "jobs/JobReport.h"
#include "jobs/LinkCheck.h"
#include "serial/SerialIo.h"

#include <QFileInfo>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned char kHexFill = 0;
constexpr unsigned kBootloaderSettleMs = 1000; // the generator restarts into its bootloader
constexpr unsigned kVerifyBlock = 4096;
const char* const kRecoverAdvice =
    "KIVO may be left in bootloader mode: run the firmware update again to recover it.";
const char* const kRecovering = "KIVO is in bootloader mode: installing the firmware recovers it.";
const char* const kRecovered = " Loaded Successfully. KIVO has been recovered.";

// The client's fixed pauses take a plain function: the running job's sink and clock are here.
thread_local KivoProgress* tSleepSink = nullptr;
thread_local TimeSource* tSleepTime = nullptr;
void sleepIdle(unsigned ms) {
    idleSleep(ms, tSleepSink, tSleepTime ? *tSleepTime : TimeSource::real());
}

// A client on a line the job opened, whose write progress goes to the job's callbacks.
class JobLoader final : public Stm32Bootload {
public:
    JobLoader(SerialIo* line, JobReport& report) : Stm32Bootload(line), report(report) {
        set_sleeper(sleepIdle);
    }
    bool progress(double percent) override { return report.progress(percent); }

private:
    JobReport& report;
};

struct Failure {
    JobStep step;
    QString message;
};

class FirmwareRun {
public:
    FirmwareRun(const FirmwareRequest& request, JobReport& report)
        : req(request), report(report), idle(request.link, report),
          time(request.time ? *request.time : TimeSource::real()),
          name(QFileInfo(request.hexPath).fileName()) {
        tSleepSink = &idle;
        tSleepTime = &time;
    }
    ~FirmwareRun() {
        tSleepSink = nullptr;
        tSleepTime = nullptr;
    }

    JobResult run();

private:
    bool readImage();
    bool reachBootloader();
    bool openOwnLink();
    bool sendIntoBootloader(KivoIo& link);
    bool recover();
    void release();
    bool writeImage();
    bool erase(Stm32Bootload& loader);
    bool verifyFlash(Stm32Bootload& loader);
    bool fail(JobStep step, const QString& message);

    const FirmwareRequest& req;
    JobReport& report;
    JobIdle idle;
    TimeSource& time;
    const QString name;
    std::unique_ptr<unsigned char[]> image;
    unsigned size = 0;
    unsigned base = 0;
    std::string devicePath;
    std::unique_ptr<SerialIo> ownStream; // when the caller had no link
    std::unique_ptr<KivoIo> ownLink;
    bool released = false;
    bool inBootloader = false; // the generator was sent there or found there
    bool recovering = false;
    std::unique_ptr<Stm32Bootload> loader; // lives until the run has reported its outcome
    Failure failure{JobStep::None, QString()};
};

bool FirmwareRun::fail(JobStep step, const QString& message) {
    failure = Failure{step, message};
    return false;
}

// An image without data would only erase the flash for nothing, so it counts as unreadable.
bool FirmwareRun::readImage() {
    const QByteArray path = req.hexPath.toLocal8Bit();
    unsigned char* data = nullptr;
    const bool read = readHexFile(path.constData(), data, size, base, kHexFill);
    image.reset(read ? data : nullptr);
    if (read && size > 0) return true;
    return fail(JobStep::ReadFile, QStringLiteral("Couldn't read ") + req.hexPath);
}

void FirmwareRun::release() {
    idle.forget();
    ownLink.reset();
    ownStream.reset();
    if (released) return;
    released = true;
    if (req.releaseLink) req.releaseLink();
}

// Without a link (an earlier run gave it up) the port is opened as the serial page does.
bool FirmwareRun::openOwnLink() {
    if (devicePath.empty()) return false;
    ownStream.reset(new IdleLine(SerialIo::ForPort(devicePath.c_str()), &idle, time));
    if (!ownStream->initialize(devicePath.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone,
                               1)) {
        ownStream.reset();
        return false;
    }
    ownLink.reset(new KivoIo(*ownStream));
    ownLink->setTimeSource(time);
    idle.attach(ownLink.get());
    return true;
}

// The port to reopen is the one the verified link runs on, taken before the generator leaves
// its own firmware: without it the generator would be stranded in its bootloader. The probe
// only follows an unanswered ping, so a generator in its own firmware never gets a byte of it.
bool FirmwareRun::reachBootloader() {
    const char* dev = req.stream ? req.stream->devName() : req.port.c_str();
    devicePath = dev ? dev : "";
    if (req.inBootloader) return recover();
    KivoIo* link = req.link;
    if (!link && openOwnLink()) link = ownLink.get();
    if (!link) return fail(JobStep::Ping, QStringLiteral("Couldn't verify KIVO"));
    if (link->ping(kPingTries)) return sendIntoBootloader(*link);
    return recover();
}

bool FirmwareRun::sendIntoBootloader(KivoIo& link) {
    if (devicePath.empty())
        return fail(JobStep::Port, QStringLiteral("Couldn't re-initialize Serial Port"));
    const bool entered = link.bootloader();
    inBootloader = true;
    idleSleep(kBootloaderSettleMs, &idle, time);
    release();
    if (!entered)
        return fail(JobStep::Bootloader, QStringLiteral("Couldn't put KIVO into bootloader mode"));
    std::unique_ptr<SerialIo> line(
        new IdleLine(SerialIo::ForPort(devicePath.c_str()), &idle, time));
    report.status(QStringLiteral("Loading ") + name, JobStep::InitBootloader);
    if (!openBootloaderLine(*line, devicePath.c_str()))
        return fail(JobStep::InitBootloader, QStringLiteral("Couldn't Initialize bootloader"));
    loader.reset(new JobLoader(line.release(), report));
    if (loader->connect_to_bl() != Stm32Bootload::Ok)
        return fail(JobStep::InitBootloader, QStringLiteral("Couldn't Initialize bootloader"));
    return true;
}

// No generator answers: an earlier update that stopped half-way may have left the bootloader
// listening on the port. The probe leaves it synchronised, so no ping, bootloader command or
// second synchronisation follows.
bool FirmwareRun::recover() {
    release();
    std::unique_ptr<SerialIo> line =
        devicePath.empty() ? nullptr : findBootloader(devicePath.c_str(), &idle, time);
    if (!line) return fail(JobStep::Ping, QStringLiteral("Couldn't verify KIVO"));
    inBootloader = recovering = true;
    report.status(QString::fromLatin1(kRecovering), JobStep::Ping);
    report.status(QStringLiteral("Loading ") + name, JobStep::InitBootloader);
    loader.reset(new JobLoader(line.release(), report));
    return true;
}

// Some bootloaders offer only Extended Erase; its mass erase does the same job.
bool FirmwareRun::erase(Stm32Bootload& bl) {
    std::vector<unsigned char> commands;
    if (bl.get_commands(commands) != Stm32Bootload::Ok)
        return fail(JobStep::InitBootloader, QStringLiteral("Couldn't Initialize bootloader"));
    auto offers = [&](unsigned char c) {
        return std::find(commands.begin(), commands.end(), c) != commands.end();
    };
    const bool extended = !offers(Stm32Proto::CmdErase) && offers(Stm32Proto::CmdExtendedErase);
    const int erased =
        extended ? bl.extended_erase_flash(0xFF, nullptr) : bl.erase_flash(0xFF, nullptr);
    if (erased != Stm32Bootload::Ok)
        return fail(JobStep::EraseFlash, QStringLiteral("Couldn't erase flash"));
    return true;
}

bool FirmwareRun::verifyFlash(Stm32Bootload& bl) {
    report.status(QStringLiteral("Verifying ") + name, JobStep::VerifyFlash);
    std::vector<unsigned char> back(kVerifyBlock);
    for (unsigned done = 0; done < size;) {
        const unsigned n = std::min(kVerifyBlock, size - done);
        const unsigned addr = base + done;
        if (bl.read_memory(addr, back.data(), n) != Stm32Bootload::Ok)
            return fail(JobStep::VerifyFlash, QStringLiteral("Couldn't read back flash at 0x%1")
                                                  .arg(addr, 8, 16, QLatin1Char('0')));
        const auto diff = std::mismatch(back.begin(), back.begin() + n, image.get() + done);
        if (diff.first != back.begin() + n) {
            const unsigned at = addr + static_cast<unsigned>(diff.first - back.begin());
            return fail(JobStep::VerifyFlash, QStringLiteral("Flash differs from %1 at 0x%2")
                                                  .arg(name)
                                                  .arg(at, 8, 16, QLatin1Char('0')));
        }
        done += n;
        report.progress(done * 100.0 / size);
    }
    return true;
}

bool FirmwareRun::writeImage() {
    Stm32Bootload& bl = *loader;
    if (!erase(bl)) return false;
    if (bl.write_flash(base, image.get(), size) != Stm32Bootload::Ok)
        return fail(JobStep::WriteFlash, QStringLiteral("Couldn't load new firmware"));
    if (req.verify && !verifyFlash(bl)) return false;
    if (bl.go_command(base) != Stm32Bootload::Ok)
        return fail(JobStep::Go, QStringLiteral("Couldn't reboot KIVO"));
    return true;
}

JobResult FirmwareRun::run() {
    const bool read = readImage();
    bool ok = read;
    if (ok) {
        report.status(QStringLiteral("Loading"), JobStep::Ping);
        ok = reachBootloader() && writeImage();
    }
    JobResult result{ok, ok ? JobStep::Done : failure.step, ok ? QString() : failure.message};
    result.refused = !read;
    if (ok) {
        report.status(name + QLatin1String(recovering ? kRecovered : " Loaded Successfully"),
                      JobStep::Done);
    } else {
        if (inBootloader) result.advice = QString::fromLatin1(kRecoverAdvice);
        const QString shown = result.advice.isEmpty()
                                  ? failure.message
                                  : failure.message + QStringLiteral("\n\n") + result.advice;
        report.failure(shown, failure.step);
        report.status(failure.message, JobStep::Done);
    }
    report.progress(100.0);
    return result;
}

} // namespace

JobResult runFirmwareJob(const FirmwareRequest& request, const JobCallbacks& callbacks) {
    JobReport report(callbacks);
    return FirmwareRun(request, report).run();
}
