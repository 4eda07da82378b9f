#include "jobs/FirmwareJob.h"

#include "bootloader/Stm32Bootload.h"
#include "device/KivoIo.h"
#include "files/FileLoad.h"
#include "jobs/JobReport.h"
#include "serial/SerialIo.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned char kHexFill = 0;
constexpr int kPingTries = 3;
constexpr std::chrono::milliseconds kBootloaderSettle(1000); // the generator restarts
constexpr unsigned kVerifyBlock = 4096;

// A plain client whose write progress goes to the job's callbacks.
class JobLoader final : public Stm32Bootload {
public:
    explicit JobLoader(JobReport& report) : report(report) {}
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
        : req(request), report(report), name(QFileInfo(request.hexPath).fileName()) {}

    JobResult run();

private:
    bool readImage();
    bool pingAndLeave();
    bool runLoader();
    bool erase(Stm32Bootload& loader);
    bool verifyFlash(Stm32Bootload& loader);
    bool fail(JobStep step, const QString& message);
    std::shared_ptr<Stm32Bootload> makeLoader();

    const FirmwareRequest& req;
    JobReport& report;
    const QString name;
    std::unique_ptr<unsigned char[]> image;
    unsigned size = 0;
    unsigned base = 0;
    std::string devicePath;
    std::shared_ptr<Stm32Bootload> loader; // lives until the run has reported its outcome
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

// The port to reopen is the one the verified link runs on, taken before the generator leaves
// its own firmware: without it the generator would be stranded in its bootloader.
bool FirmwareRun::pingAndLeave() {
    if (!req.link || !req.link->ping(kPingTries))
        return fail(JobStep::Ping, QStringLiteral("Couldn't verify KIVO"));
    const char* dev = req.stream ? req.stream->devName() : nullptr;
    if (!dev || !*dev)
        return fail(JobStep::Port, QStringLiteral("Couldn't re-initialize Serial Port"));
    devicePath = dev;
    const bool entered = req.link->bootloader();
    std::this_thread::sleep_for(kBootloaderSettle);
    if (req.releaseLink) req.releaseLink();
    if (!entered)
        return fail(JobStep::Bootloader, QStringLiteral("Couldn't put KIVO into bootloader mode"));
    return true;
}

std::shared_ptr<Stm32Bootload> FirmwareRun::makeLoader() {
    std::shared_ptr<Stm32Bootload> made;
    if (req.makeLoader) made = req.makeLoader();
    if (!made) made = std::make_shared<JobLoader>(report);
    return made;
}

// Some bootloaders offer only Extended Erase; its mass erase does the same job.
bool FirmwareRun::erase(Stm32Bootload& bl) {
    bool extended = false;
    if (req.eraseFallback) {
        std::vector<unsigned char> commands;
        if (bl.get_commands(commands) != Stm32Bootload::Ok)
            return fail(JobStep::InitBootloader, QStringLiteral("Couldn't Initialize bootloader"));
        auto offers = [&](unsigned char c) {
            return std::find(commands.begin(), commands.end(), c) != commands.end();
        };
        extended = !offers(Stm32Proto::CmdErase) && offers(Stm32Proto::CmdExtendedErase);
    }
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

bool FirmwareRun::runLoader() {
    loader = makeLoader();
    Stm32Bootload& bl = *loader;
    report.status(QStringLiteral("Loading ") + name, JobStep::InitBootloader);
    if (bl.init(devicePath.c_str()) != Stm32Bootload::Ok)
        return fail(JobStep::InitBootloader, QStringLiteral("Couldn't Initialize bootloader"));
    if (!erase(bl)) return false;
    if (bl.write_flash(base, image.get(), size) != Stm32Bootload::Ok)
        return fail(JobStep::WriteFlash, QStringLiteral("Couldn't load new firmware"));
    if (req.verify && !verifyFlash(bl)) return false;
    if (bl.go_command(base) != Stm32Bootload::Ok)
        return fail(JobStep::Go, QStringLiteral("Couldn't reboot KIVO"));
    return true;
}

JobResult FirmwareRun::run() {
    bool ok = readImage();
    if (ok) {
        report.status(QStringLiteral("Loading"), JobStep::Ping);
        ok = pingAndLeave() && runLoader();
    }
    JobResult result{ok, ok ? JobStep::Done : failure.step, ok ? QString() : failure.message};
    if (ok) {
        report.status(name + QStringLiteral(" Loaded Successfully"), JobStep::Done);
    } else {
        report.failure(failure.message, failure.step);
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
